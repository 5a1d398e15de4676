// The module _ctp: the vendor's trader library on the bridge. Its functions
// are version, create, request (by requests.h), poll, close, wait and
// fileno; the session handle is a "morva.ctp" capsule that owns its Spi.
#include <Python.h>

#include "requests.h"
#include "spi.h"

#include "../bridge/handle.h"

#include <string>

namespace {

constexpr char capsule_name[] = "morva.ctp";

using Api = CThostFtdcTraderApi;
using Handles = Handle<Spi, capsule_name>;

PyObject *version(PyObject *, PyObject *) { return version_of(&Api::GetApiVersion); }

PyObject *create(PyObject *, PyObject *args) {
    const char *front = nullptr;
    const char *flow = nullptr;
    if (!PyArg_ParseTuple(args, "sy", &front, &flow))
        return nullptr;
    return Handles::open([&] { return Api::CreateFtdcTraderApi(flow, true); }, [&](Api &opened) {
        opened.SubscribePrivateTopic(THOST_TERT_QUICK, 1);
        opened.SubscribePublicTopic(THOST_TERT_QUICK);
        std::string address = front;  // RegisterFront takes a mutable string
        opened.RegisterFront(address.data());
    });
}

auto functions = Handles::functions<trading::requests>(
    version, {"create", create, METH_VARARGS, "create($module, front, flow, /)\n--\n\n"});

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_ctp",   // name
    nullptr,  // documentation
    -1,       // no per-module state
    functions.data(),
    nullptr,  // slots
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

}  // namespace

PyMODINIT_FUNC PyInit__ctp() { return initialise(module); }
