// The module _ctp: the vendor's trader library on the bridge. Its functions
// are version, create, request (by requests.h), poll, close, wait and
// fileno; the session handle is a "morva.ctp" capsule that owns its Spi.
#include <Python.h>

#include "requests.h"
#include "spi.h"

#include "../bridge/handle.h"

#include <cstring>
#include <utility>

namespace {

constexpr char capsule_name[] = "morva.ctp";

using Api = CThostFtdcTraderApi;
using Handles = Handle<Spi, capsule_name>;

PyObject *version(PyObject *, PyObject *) { return version_of(&Api::GetApiVersion); }

// How a flow is resumed after login, by create's keywords: the whole
// trading day again, from where this flow directory left off, or from now.
constexpr std::pair<const char *, THOST_TE_RESUME_TYPE> resume_types[] = {
    {"restart", THOST_TERT_RESTART},
    {"resume", THOST_TERT_RESUME},
    {"quick", THOST_TERT_QUICK},
};

// The resume type a keyword names (its default when absent); false, with the
// exception set, for anything but one of the words.
bool resume_type(PyObject *word, const char *keyword, THOST_TE_RESUME_TYPE &type) {
    if (word == nullptr)
        return true;
    if (!PyUnicode_Check(word)) {
        PyErr_Format(PyExc_TypeError, "%s%s", keyword, " 必须是字符串");
        return false;
    }
    for (const auto &[name, value] : resume_types) {
        if (PyUnicode_CompareWithASCIIString(word, name) == 0) {
            type = value;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "%s%s", keyword, " 必须是 CTP 的续传方式 \"restart\"、\"resume\" 或 \"quick\"");
    return false;
}

PyObject *create(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "", "private_resume", "public_resume", "full_records", nullptr};
    PyObject *front = nullptr;
    const char *flow = nullptr;
    PyObject *private_word = nullptr;
    PyObject *public_word = nullptr;
    int complete = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oy|$OOp:create", const_cast<char **>(keywords), &front, &flow,
                                     &private_word, &public_word, &complete))
        return nullptr;
    // Everything is checked before anything is created.
    Fronts fronts;
    THOST_TE_RESUME_TYPE private_resume = THOST_TERT_QUICK;
    THOST_TE_RESUME_TYPE public_resume = THOST_TERT_QUICK;
    if (!fronts.read(front) || !resume_type(private_word, "private_resume", private_resume) ||
        !resume_type(public_word, "public_resume", public_resume))
        return nullptr;
    return Handles::open(complete != 0, [&] { return Api::CreateFtdcTraderApi(flow, true); }, [&](Api &opened) {
        opened.SubscribePrivateTopic(private_resume, 1);
        opened.SubscribePublicTopic(public_resume);
        fronts.register_each(opened);
    });
}

auto functions = Handles::functions<requests::table>(
    version, {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create)), METH_VARARGS | METH_KEYWORDS,
              "create($module, front, flow, /, *, private_resume='quick', public_resume='quick', full_records=False)"
              "\n--\n\n"});

PyModuleDef module = module_definition("_ctp", functions.data());

}  // namespace

PyMODINIT_FUNC PyInit__ctp() { return initialise(module); }
