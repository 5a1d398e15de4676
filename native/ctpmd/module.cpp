// The module _ctpmd: the vendor's market-data library on the same bridge as
// _ctp. version, create, request, subscribe, unsubscribe, poll, close, wait
// and fileno; the session handle is a "morva.ctpmd" capsule that owns its session.
#include <Python.h>

#include "spi.h"

#include "../bridge/calls.h"
#include "../bridge/errors.h"
#include "../bridge/handle.h"

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

inline constexpr char capsule_name[] = "morva.ctpmd";

using Api = CThostFtdcMdApi;
using Handles = Handle<MdSpi, capsule_name>;

PyObject *version(PyObject *, PyObject *) { return version_of(&Api::GetApiVersion); }

PyObject *create(PyObject *, PyObject *args) {
    const char *front = nullptr;
    const char *flow = nullptr;
    if (!PyArg_ParseTuple(args, "sy", &front, &flow))
        return nullptr;
    return Handles::open([&] { return Api::CreateFtdcMdApi(flow); }, [&](Api &opened) {
        std::string address = front;  // RegisterFront takes a mutable string
        opened.RegisterFront(address.data());
    });
}

bool is(const char *method, const char *name) { return std::strcmp(method, name) == 0; }

PyObject *request(PyObject *, PyObject *args) {
    PyObject *capsule = nullptr;
    const char *method = nullptr;
    PyObject *data = nullptr;
    int id = 0;
    if (!PyArg_ParseTuple(args, "OsO!i", &capsule, &method, &PyDict_Type, &data, &id))
        return nullptr;
    MdSpi *session = Handles::usable(capsule);
    if (session == nullptr)
        return nullptr;
    if (session->api == nullptr)
        return closed_session();
    if (is(method, "UserLogin")) {
        using R = CThostFtdcReqUserLoginField;
        return send(*session, &Api::ReqUserLogin, data, id,
                    key("BrokerID", &R::BrokerID), key("UserID", &R::UserID), key("Password", &R::Password));
    }
    if (is(method, "UserLogout")) {
        using R = CThostFtdcUserLogoutField;
        return send(*session, &Api::ReqUserLogout, data, id, key("BrokerID", &R::BrokerID), key("UserID", &R::UserID));
    }
    PyErr_SetString(PyExc_ValueError, "不支持的 CTP 请求");
    return nullptr;
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
    MdSpi *session = Handles::usable(capsule);
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

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, "version($module, /)\n--\n\n"},
    {"create", create, METH_VARARGS, "create($module, front, flow, /)\n--\n\n"},
    {"request", request, METH_VARARGS, "request($module, handle, name, fields, request_id, /)\n--\n\n"},
    {"subscribe", subscription<true>, METH_VARARGS, "subscribe($module, handle, ids, /)\n--\n\n"},
    {"unsubscribe", subscription<false>, METH_VARARGS, "unsubscribe($module, handle, ids, /)\n--\n\n"},
    {"poll", Handles::poll, METH_O, "poll($module, handle, /)\n--\n\n"},
    {"close", Handles::close, METH_O, "close($module, handle, /)\n--\n\n"},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Handles::wait)), METH_VARARGS | METH_KEYWORDS,
     "wait($module, handle, /, timeout=None)\n--\n\n"},
    {"fileno", Handles::fileno, METH_O, "fileno($module, handle, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_ctpmd",  // name
    nullptr,   // documentation
    -1,        // no per-module state
    methods,
    nullptr,  // slots
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

}  // namespace

PyMODINIT_FUNC PyInit__ctpmd() {
    // As _ctp: the text codec is looked up once, here.
    PyObject *codec = PyCodec_Decoder("gb18030");
    if (codec == nullptr)
        return nullptr;
    Py_DECREF(codec);
    return PyModule_Create(&module);
}
