// Calling the vendor from a module function: the lock discipline shared by
// every request, and sending a request by its row of a request table.
#pragma once

#include <Python.h>

#include "codecs.h"
#include "errors.h"
#include "tables.h"
#include "unlocked.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <tuple>

// Counts down a vendor call that was counted up while the interpreter lock was
// held, and wakes a release() waiting for it.
class Finished {
public:
    explicit Finished(std::atomic<int> &in_flight) noexcept : calls(in_flight) {}
    ~Finished() {
        if (calls.fetch_sub(1) == 1)
            calls.notify_all();
    }
    Finished(const Finished &) = delete;
    Finished &operator=(const Finished &) = delete;

private:
    std::atomic<int> &calls;
};

inline PyObject *closed_session() {
    PyErr_SetString(PyExc_RuntimeError, "CTP 接口已关闭");
    return nullptr;
}

// Runs call(api), which returns the vendor's int, without the interpreter
// lock, and returns that int.
//
// A request and close may run on two Python threads at once. release() clears
// api while holding the interpreter lock, then, without it, waits until no
// call is counted before it gives the API object back. Here the pointer is
// read and the call counted under the same lock, after the caller's input has
// been read (reading can run Python code that closes the session). So either
// release() cleared api first and the call is refused, or it sees the count
// and waits. The count is lowered before the lock is taken back, so release()
// never waits on a thread that waits for the interpreter lock.
template <class Session, class Call>
PyObject *call_vendor(Session &session, Call call) {
    typename Session::Api *api = session.api;
    if (api == nullptr)
        return closed_session();
    session.calls.fetch_add(1);
    int result = 0;
    std::exception_ptr failed;
    {
        Unlocked unlocked;
        Finished finished(session.calls);
        try {
            result = call(*api);
        } catch (...) {
            failed = std::current_exception();
        }
    }
    if (failed)
        return raise_error(failed);
    return PyLong_FromLong(result);
}

// Reads data into a zero-filled record under the request's keys, then sends
// it with the request's Req operation.
template <class Session, class Api, class Record, class... Members>
PyObject *send(Session &session, const Request<Api, Record, Members...> &request, PyObject *data, int id) {
    Record record;
    std::memset(&record, 0, sizeof record);
    // Keys in table order; the first bad one is reported and nothing is sent.
    const bool read_all = std::apply(
        [&](const auto &...keys) { return (read(data, keys.name, record.*keys.member) && ...); }, request.keys);
    if (!read_all)
        return nullptr;
    return call_vendor(session, [&](typename Session::Api &api) { return (api.*request.operation)(&record, id); });
}

// Sends the request of the table (a tuple of request rows) named `name`;
// ValueError "不支持的 CTP 请求" when none is.
template <class Session, class Table>
PyObject *dispatch(Session &session, const Table &table, const char *name, PyObject *data, int id) {
    PyObject *result = nullptr;
    const bool found = std::apply(
        [&](const auto &...requests) {
            return ((std::strcmp(name, requests.name) == 0 && (result = send(session, requests, data, id), true)) ||
                    ...);
        },
        table);
    if (!found)
        PyErr_SetString(PyExc_ValueError, "不支持的 CTP 请求");
    return result;
}
