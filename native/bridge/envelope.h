// The reply envelope: what a record callback leaves in the queue, and the
// event record it becomes.
#pragma once

#include <Python.h>

#include "ThostFtdcUserApiStruct.h"
#include "codecs.h"
#include "names.h"
#include "records.h"
#include "tables.h"

#include <cstring>

// A connection event: {"name"}, or {"name", key: value} for a callback that
// carries one int (the reason of a disconnect, the time lapse of a heartbeat
// warning).
struct Notice {
    const char *name;  // literals: only the pointers are kept
    const char *key;   // null: no value
    int value;

    const char *event() const noexcept { return name; }
    PyObject *operator()() const {
        if (key == nullptr)
            return Py_BuildValue("{s:s}", "name", name);
        return Py_BuildValue("{s:s,s:i}", "name", name, key, value);
    }
};

// Byte-for-byte copy of a vendor record, or all zero bytes for a null pointer.
template <class T>
T copy_of(const T *record) noexcept {
    T copy;
    if (record != nullptr)
        std::memcpy(&copy, record, sizeof copy);
    else
        std::memset(&copy, 0, sizeof copy);
    return copy;
}

// Closure body of a reply. Built on the vendor's thread from copies of the
// record and the error information; run by poll, it builds
// {"name", "data", "error", "request_id", "last"}, with "data" built by the
// layout of T (None when the vendor passed no record), complete or not as
// the session was created.
template <class T>
struct Reply {
    bool present;
    bool complete;
    T copy;
    CThostFtdcRspInfoField error;
    const char *name;  // a literal: only the pointer is kept
    int id;
    bool last;

    Reply(const char *event, const T *data, const CThostFtdcRspInfoField *info, int request, bool is_last,
          bool complete_records) noexcept
        : present(data != nullptr), complete(complete_records), copy(copy_of(data)), error(copy_of(info)), name(event),
          id(request), last(is_last) {}

    const char *event() const noexcept { return name; }

    PyObject *operator()() const {
        PyObject *d = present ? convert(copy, complete) : Py_NewRef(Py_None);
        PyObject *e = convert(error);
        // The converters report a failed field only as a pending exception.
        if (d == nullptr || e == nullptr || PyErr_Occurred()) {
            Py_XDECREF(d);
            Py_XDECREF(e);
            return nullptr;
        }
        PyObject *record = start<Reply<CThostFtdcRspInfoField>>();
        put_new(record, "name", Names::get(name));
        put_new(record, "data", d);
        put_new(record, "error", e);
        put_new(record, "request_id", PyLong_FromLong(id));
        put_new(record, "last", PyBool_FromLong(last));
        finish<Reply<CThostFtdcRspInfoField>>(record);
        if (record != nullptr && !PyErr_Occurred())
            return record;
        Py_XDECREF(record);
        return nullptr;
    }
};
