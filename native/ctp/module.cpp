// The module _ctp: version, create, request, poll, close, wait and fileno, and
// the session handle, a "morva.ctp" capsule that owns its session.
#include <Python.h>

#include "session.h"

#include "../bridge/errors.h"
#include "../bridge/handle.h"

#include <cstring>
#include <memory>
#include <string>

using Handles = Handle<Spi, capsule_name>;

Spi *unwrap(PyObject *object) { return Handles::unwrap(object); }

Spi *usable(PyObject *object) { return Handles::usable(object); }

namespace {

PyObject *version(PyObject *, PyObject *) { return version_of(&CThostFtdcTraderApi::GetApiVersion); }

PyObject *create(PyObject *, PyObject *args) {
    const char *front = nullptr;
    const char *flow = nullptr;
    if (!PyArg_ParseTuple(args, "sy", &front, &flow))
        return nullptr;
    return Handles::open([&] { return CThostFtdcTraderApi::CreateFtdcTraderApi(flow, true); },
                         [&](CThostFtdcTraderApi &opened) {
                             opened.SubscribePrivateTopic(THOST_TERT_QUICK, 1);
                             opened.SubscribePublicTopic(THOST_TERT_QUICK);
                             std::string address = front;  // RegisterFront takes a mutable string
                             opened.RegisterFront(address.data());
                         });
}

PyObject *poll(PyObject *module, PyObject *capsule) { return Handles::poll(module, capsule); }

PyObject *close_api(PyObject *module, PyObject *capsule) { return Handles::close(module, capsule); }

PyObject *wait_api(PyObject *module, PyObject *args, PyObject *kwargs) { return Handles::wait(module, args, kwargs); }

PyObject *fileno_api(PyObject *module, PyObject *capsule) { return Handles::fileno(module, capsule); }

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
