// The module _ctp: version, create, request, poll and close, and the session
// handle, a "morva.ctp" capsule that owns its session.
#include <Python.h>

#include "session.h"

#include "../bridge/unlocked.h"

#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

Spi *unwrap(PyObject *object) { return static_cast<Spi *>(PyCapsule_GetPointer(object, capsule_name)); }

PyObject *raise_current() {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return nullptr;
}

namespace {

// Capsule destructor: closes the session if still open, then deletes it with
// every pending event unrun.
void destroy(PyObject *capsule) {
    // May run while an exception propagates; leave it as found.
    PyObject *pending = PyErr_GetRaisedException();
    std::unique_ptr<Spi> session(unwrap(capsule));
    if (session)
        session->release();
    else
        PyErr_Clear();
    session.reset();
    PyErr_SetRaisedException(pending);
}

PyObject *version(PyObject *, PyObject *) {
    const char *text = CThostFtdcTraderApi::GetApiVersion();
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
    try {
        session = std::make_unique<Spi>();
        address = front;
    } catch (...) {
        return raise_current();
    }
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow, true);
    if (api == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "创建 CTP 接口失败");
        return nullptr;
    }
    session->api = api;
    api->RegisterSpi(session.get());
    api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
    api->SubscribePublicTopic(THOST_TERT_QUICK);
    api->RegisterFront(address.data());
    PyObject *capsule = PyCapsule_New(session.get(), capsule_name, destroy);
    if (capsule == nullptr) {
        session->release();
        return nullptr;
    }
    session.release();  // the capsule owns it now
    {
        Unlocked unlocked;
        api->Init();
    }
    return capsule;
}

PyObject *poll(PyObject *, PyObject *capsule) {
    Spi *session = unwrap(capsule);
    if (session == nullptr)
        return nullptr;
    // An empty deque allocates, and the mutex may fail to lock: neither may
    // throw into the interpreter.
    std::optional<std::deque<Closure>> batch;
    try {
        if (!session->take(batch.emplace())) {
            PyErr_SetString(PyExc_BufferError, "CTP 回调队列已满");
            return nullptr;
        }
    } catch (...) {
        return raise_current();
    }
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(batch->size()));
    if (list == nullptr)
        return nullptr;
    Names names;
    Py_ssize_t index = 0;
    for (const Closure &fn : *batch) {
        PyObject *record = fn();
        if (record == nullptr) {
            // The whole batch is lost with the failing event.
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, index++, record);
    }
    return list;
}

PyObject *close_api(PyObject *, PyObject *capsule) {
    Spi *session = unwrap(capsule);
    if (session == nullptr)
        return nullptr;
    session->release();
    Py_RETURN_NONE;
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

PyMODINIT_FUNC PyInit__ctp() { return PyModule_Create(&module); }
