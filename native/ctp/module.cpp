// The module _ctp: version, create, request, poll, close, wait and fileno, and
// the session handle, a "morva.ctp" capsule that owns its session.
#include <Python.h>

#include "session.h"

#include "../bridge/errors.h"
#include "../bridge/names.h"
#include "../bridge/unlocked.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

Spi *unwrap(PyObject *object) { return static_cast<Spi *>(PyCapsule_GetPointer(object, capsule_name)); }

Spi *usable(PyObject *object) {
    Spi *session = unwrap(object);
    if (session != nullptr && session->foreign()) {
        PyErr_SetString(PyExc_RuntimeError, "CTP 接口不能跨进程使用");
        return nullptr;
    }
    return session;
}

namespace {

using Clock = std::chrono::steady_clock;

// Frees a session unless the vendor may still reach it, in which case it is
// left to the process (a leak is better than a callback into freed memory).
void dispose(std::unique_ptr<Spi> session) {
    if (session && !session->disposable())
        static_cast<void>(session.release());
}

// Capsule destructor: closes the session if still open, then deletes it with
// every pending event unrun.
void destroy(PyObject *capsule) {
    // May run while an exception propagates; leave it as found.
    PyObject *pending = PyErr_GetRaisedException();
    std::unique_ptr<Spi> session(unwrap(capsule));
    if (!session)
        PyErr_Clear();
    else if (!session->release())
        PyErr_FormatUnraisable("Exception ignored while closing a CTP session");
    dispose(std::move(session));
    PyErr_SetRaisedException(pending);
}

// Takes a session that create could not finish back down: detached and
// released, then freed. The error that stopped create stays the one raised.
void abandon(std::unique_ptr<Spi> session) {
    PyObject *error = PyErr_GetRaisedException();
    if (!session->release())
        PyErr_Clear();
    dispose(std::move(session));
    PyErr_SetRaisedException(error);
}

PyObject *version(PyObject *, PyObject *) {
    const char *text;
    try {
        text = CThostFtdcTraderApi::GetApiVersion();
    } catch (...) {
        return raise_current();
    }
    if (text == nullptr)
        text = "";
    return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

PyObject *create(PyObject *, PyObject *args) {
    const char *front = nullptr;
    const char *flow = nullptr;
    if (!PyArg_ParseTuple(args, "sy", &front, &flow))
        return nullptr;
    std::unique_ptr<Spi> session;
    std::string address;  // RegisterFront takes a mutable string
    CThostFtdcTraderApi *api;
    try {
        session = std::make_unique<Spi>();
        address = front;
        api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow, true);
    } catch (...) {
        return raise_current();
    }
    if (api == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "创建 CTP 接口失败");
        return nullptr;
    }
    session->api = api;
    try {
        api->RegisterSpi(session.get());
        api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
        api->SubscribePublicTopic(THOST_TERT_QUICK);
        api->RegisterFront(address.data());
    } catch (...) {
        raise_current();
        abandon(std::move(session));
        return nullptr;
    }
    PyObject *capsule = PyCapsule_New(session.get(), capsule_name, destroy);
    if (capsule == nullptr) {
        abandon(std::move(session));
        return nullptr;
    }
    Spi *started = session.release();  // the capsule owns it now
    std::exception_ptr failed;
    {
        Unlocked unlocked;
        try {
            api->Init();
        } catch (...) {
            failed = std::current_exception();
        }
    }
    if (failed) {
        // Half started, perhaps with threads running: take it down before
        // reporting, so that nothing is left behind.
        raise_error(failed);
        PyObject *error = PyErr_GetRaisedException();
        if (!started->release())
            PyErr_Clear();
        Py_DECREF(capsule);
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    return capsule;
}

// The records built by a poll, released unless handed on.
class Records {
public:
    Records() = default;
    ~Records() {
        for (PyObject *record : built)
            Py_DECREF(record);
    }
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;

    void reserve(std::size_t n) { built.reserve(n); }
    void add(PyObject *record) noexcept { built.push_back(record); }  // within the reserve
    std::size_t size() const noexcept { return built.size(); }
    // A new list holding them all, or null.
    PyObject *list() {
        PyObject *list = PyList_New(static_cast<Py_ssize_t>(built.size()));
        if (list == nullptr)
            return nullptr;
        for (std::size_t i = 0; i < built.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), built[i]);
        built.clear();
        return list;
    }

private:
    std::vector<PyObject *> built;
};

// Marks a session's poll as building its records.
class Building {
public:
    explicit Building(Spi &s) noexcept : session(s) { session.building = true; }
    ~Building() { session.building = false; }
    Building(const Building &) = delete;
    Building &operator=(const Building &) = delete;

private:
    Spi &session;
};

// Tells which event an exception cost, as a note on it.
void note_lost(PyObject *error, const char *event) {
    if (PyObject *added = PyObject_CallMethod(error, "add_note", "s", (std::string("CTP 事件 ") + event + " 无法转换，已丢弃").c_str()))
        Py_DECREF(added);
    else
        PyErr_Clear();
}

// Delivers the session's events oldest first. The records are all built
// before the list is made, so no half-made list is ever visible, and
// closures are destroyed only once their records are handed over. When one
// event cannot be built, it is the only one lost: the records built before
// it are returned and it comes first in the next poll, which raises its
// exception if it fails again and keeps the rest.
PyObject *poll(PyObject *, PyObject *capsule) {
    Spi *session = usable(capsule);
    if (session == nullptr)
        return nullptr;
    // Reached from inside another poll of the session (a finalizer that runs
    // while records are built): nothing, so events never come out of order.
    if (session->building)
        return PyList_New(0);
    Records records;
    try {
        if (!session->take()) {
            PyErr_SetString(PyExc_BufferError, "CTP 回调队列已满");
            return nullptr;
        }
        records.reserve(session->kept.size());
    } catch (...) {
        // Whatever was taken waits for the next poll; say so to the waiters,
        // whose readiness the take consumed.
        if (!session->kept.empty())
            session->remind();
        return raise_current();
    }
    Closures &batch = session->kept;
    {
        Building building(*session);
        Names names;
        for (const Closure &fn : batch) {
            PyObject *record = fn();
            if (record == nullptr)
                break;
            records.add(record);
        }
    }
    const std::size_t built = records.size();
    const bool failed = built < batch.size();
    PyObject *error = failed ? PyErr_GetRaisedException() : nullptr;
    PyObject *list = records.list();
    if (list == nullptr) {
        // Nothing handed over, nothing lost: every event waits for the next poll.
        Py_XDECREF(error);
        session->remind();
        return nullptr;
    }
    Closures spent;
    for (std::size_t i = 0; i < built; ++i)
        spent.push_back(batch.pop_front());
    if (failed && built == 0) {
        note_lost(error, batch.front().event());
        spent.push_back(batch.pop_front());
        Py_DECREF(list);
        list = nullptr;
        PyErr_SetRaisedException(error);
    } else {
        Py_XDECREF(error);
    }
    session->pool.recycle(spent);
    if (!batch.empty())
        session->remind();
    return list;
}

PyObject *close_api(PyObject *, PyObject *capsule) {
    Spi *session = unwrap(capsule);
    if (session == nullptr || !session->release())
        return nullptr;
    Py_RETURN_NONE;
}

// Seconds as a deadline; nullopt for no limit.
bool deadline_of(PyObject *timeout, std::optional<Clock::time_point> &deadline) {
    if (timeout == Py_None)
        return true;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred())
        return false;
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, "CTP 等待时间不能为负数或 NaN");
        return false;
    }
    // Beyond about thirty years is no limit (and would overflow the clock).
    if (seconds < 1e9)
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

PyObject *wait_api(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "timeout", nullptr};
    PyObject *capsule = nullptr;
    PyObject *timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:wait", const_cast<char **>(keywords), &capsule, &timeout))
        return nullptr;
    Spi *session = usable(capsule);
    std::optional<Clock::time_point> deadline;
    if (session == nullptr || !deadline_of(timeout, deadline))
        return nullptr;
    // Sleeps in slices, so that Ctrl-C interrupts a long wait promptly.
    constexpr auto slice = std::chrono::milliseconds(50);
    for (;;) {
        if (!session->kept.empty())
            Py_RETURN_TRUE;
        Clock::time_point until = Clock::now() + slice;
        if (deadline && *deadline < until)
            until = *deadline;
        Spi::Woken woken = Spi::Woken::timeout;
        std::exception_ptr failed;
        {
            Unlocked unlocked;
            try {
                woken = session->wait(until);
            } catch (...) {
                failed = std::current_exception();
            }
        }
        if (failed)
            return raise_error(failed);
        if (woken == Spi::Woken::ready)
            Py_RETURN_TRUE;
        if (woken == Spi::Woken::closed || (deadline && Clock::now() >= *deadline))
            Py_RETURN_FALSE;
        if (PyErr_CheckSignals() < 0)
            return nullptr;
    }
}

PyObject *fileno_api(PyObject *, PyObject *capsule) {
    Spi *session = usable(capsule);
    if (session == nullptr)
        return nullptr;
    int fd;
    try {
        fd = session->descriptor();
    } catch (...) {
        return raise_current();
    }
    if (fd < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(fd);
}

// Each doc string is only a signature section: inspect.signature and help()
// read it as __text_signature__, and __doc__ stays None. The documentation
// lives in the stubs (_ctp.pyi) and the README.
PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, "version($module, /)\n--\n\n"},
    {"create", create, METH_VARARGS, "create($module, front, flow, /)\n--\n\n"},
    {"request", request, METH_VARARGS, "request($module, handle, name, fields, request_id, /)\n--\n\n"},
    {"poll", poll, METH_O, "poll($module, handle, /)\n--\n\n"},
    {"close", close_api, METH_O, "close($module, handle, /)\n--\n\n"},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_api)), METH_VARARGS | METH_KEYWORDS,
     "wait($module, handle, /, timeout=None)\n--\n\n"},
    {"fileno", fileno_api, METH_O, "fileno($module, handle, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_ctp",   // name
    nullptr,  // documentation
    -1,       // no per-module state
    methods,
    nullptr,  // slots
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

}  // namespace

PyMODINIT_FUNC PyInit__ctp() {
    // Looked up once here, the text codec is cached: poll never runs an
    // import (Python code that could give up the interpreter lock mid-batch),
    // and a Python without it fails now rather than at the first Chinese text.
    PyObject *codec = PyCodec_Decoder("gb18030");
    if (codec == nullptr)
        return nullptr;
    Py_DECREF(codec);
    return PyModule_Create(&module);
}
