// The module _ctpmd: the vendor's market-data library on the bridge. Its
// functions are version, create, request (by requests.h), subscribe,
// unsubscribe, poll, close, wait and fileno; the session handle is a
// "morva.ctpmd" capsule that owns its Spi.
#include <Python.h>

#include "requests.h"
#include "spi.h"

#include "../bridge/calls.h"
#include "../bridge/errors.h"
#include "../bridge/handle.h"

#include <array>
#include <climits>
#include <vector>

namespace {

constexpr char capsule_name[] = "morva.ctpmd";

using Api = CThostFtdcMdApi;
using Handles = Handle<Spi, capsule_name>;

PyObject *version(PyObject *, PyObject *) { return version_of(&Api::GetApiVersion); }

PyObject *create(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "", "full_records", nullptr};
    PyObject *front = nullptr;
    const char *flow = nullptr;
    int complete = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oy|$p:create", const_cast<char **>(keywords), &front, &flow,
                                     &complete))
        return nullptr;
    Fronts fronts;
    if (!fronts.read(front))
        return nullptr;
    return Handles::open(complete != 0, [&] { return Api::CreateFtdcMdApi(flow); },
                         [&](Api &opened) { fronts.register_each(opened); });
}

// Instrument ids as the vendor takes them: a mutable array of C strings.
class Ids {
public:
    using Field = std::array<char, sizeof(CThostFtdcSpecificInstrumentField{}.InstrumentID)>;

    // Checks and copies every id of the sequence; false, with an exception
    // set and nothing kept, at the first bad one.
    bool read(PyObject *ids) {
        if (PyUnicode_Check(ids) || PyBytes_Check(ids) || PyByteArray_Check(ids) || !PySequence_Check(ids)) {
            PyErr_SetString(PyExc_TypeError, "CTP 合约列表必须是字符串序列");
            return false;
        }
        PyObject *items = PySequence_Fast(ids, "CTP 合约列表必须是字符串序列");
        if (items == nullptr)
            return false;
        bool ok = true;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
        if (n > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "CTP 合约列表过长");
            ok = false;
        }
        try {
            if (ok)
                fields.resize(static_cast<std::size_t>(n));
        } catch (...) {
            raise_current();
            ok = false;
        }
        // Encoding runs no Python code, so the items stay as they are.
        for (Py_ssize_t i = 0; ok && i < n; ++i) {
            Field &field = fields[static_cast<std::size_t>(i)];
            field.fill(0);
            ok = read_text_item(PySequence_Fast_GET_ITEM(items, i), "InstrumentID", field.data(), field.size());
        }
        Py_DECREF(items);
        if (!ok)
            return false;
        try {
            pointers.reserve(fields.size());
        } catch (...) {
            raise_current();
            return false;
        }
        for (Field &field : fields)
            pointers.push_back(field.data());
        return true;
    }

    char **data() noexcept { return pointers.data(); }
    int count() const noexcept { return static_cast<int>(pointers.size()); }

private:
    std::vector<Field> fields;
    std::vector<char *> pointers;
};

template <bool subscribe>
PyObject *subscription(PyObject *, PyObject *args) {
    PyObject *capsule = nullptr;
    PyObject *list = nullptr;
    if (!PyArg_ParseTuple(args, subscribe ? "OO:subscribe" : "OO:unsubscribe", &capsule, &list))
        return nullptr;
    Spi *session = Handles::usable(capsule);
    if (session == nullptr)
        return nullptr;
    if (session->api == nullptr)
        return closed_session();
    Ids ids;
    if (!ids.read(list))
        return nullptr;
    return call_vendor(*session, [&](Api &api) {
        return subscribe ? api.SubscribeMarketData(ids.data(), ids.count())
                         : api.UnSubscribeMarketData(ids.data(), ids.count());
    });
}

auto functions = Handles::functions<requests::table>(
    version,
    {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create)), METH_VARARGS | METH_KEYWORDS,
     "create($module, front, flow, /, *, full_records=False)\n--\n\n"},
    PyMethodDef{"subscribe", subscription<true>, METH_VARARGS, "subscribe($module, handle, ids, /)\n--\n\n"},
    PyMethodDef{"unsubscribe", subscription<false>, METH_VARARGS, "unsubscribe($module, handle, ids, /)\n--\n\n"});

PyModuleDef module = module_definition("_ctpmd", functions.data());

}  // namespace

PyMODINIT_FUNC PyInit__ctpmd() { return initialise(module); }
