#include "codecs.h"

#include "names.h"

#include <climits>
#include <cstring>

// ---- out ---------------------------------------------------------------------

PyObject *text(const char *field, std::size_t size) {
    const void *nul = std::memchr(field, 0, size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : size;
    // GB18030 agrees with ASCII below 0x80, so such text needs no codec.
    std::size_t i = 0;
    while (i < length && static_cast<unsigned char>(field[i]) < 0x80)
        ++i;
    if (i == length) {
        PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
        if (str != nullptr && length != 0)
            std::memcpy(PyUnicode_1BYTE_DATA(str), field, length);
        return str;
    }
    return PyUnicode_Decode(field, static_cast<Py_ssize_t>(length), "gb18030", "replace");
}

PyObject *value(char code) { return PyUnicode_FromOrdinal(static_cast<unsigned char>(code)); }

PyObject *value(int number) { return PyLong_FromLong(number); }

PyObject *value(double number) { return PyFloat_FromDouble(number); }

void put_new(PyObject *dict, const char *key, PyObject *item) {
    if (dict != nullptr && item != nullptr && !PyErr_Occurred()) {
        if (PyObject *name = Names::get(key)) {
            PyDict_SetItem(dict, name, item);
            Py_DECREF(name);
        }
    }
    Py_XDECREF(item);
}

PyObject *convert(const CThostFtdcRspInfoField &info) {
    PyObject *dict = start<CThostFtdcRspInfoField>();
    put(dict, "ErrorID", info.ErrorID);
    put(dict, "ErrorMsg", info.ErrorMsg);
    return finish<CThostFtdcRspInfoField>(dict);
}

// ---- in ----------------------------------------------------------------------

namespace {

// Raises type with "<key><rest>". PyErr_Format takes only ASCII format
// strings, so the Chinese text goes in as an argument.
void raise_about(PyObject *type, const char *key, const char *rest) { PyErr_Format(type, "%s%s", key, rest); }

// Looks key up and hands a strong reference to the item to `write`. A failing
// lookup (out of memory, or a key whose __eq__ raises) is an error rather than
// an absent key: a field silently left empty would still be sent.
template <class Write>
bool with_item(PyObject *dict, const char *key, Write write) {
    PyObject *item = nullptr;
    const int found = PyDict_GetItemStringRef(dict, key, &item);
    if (found <= 0)
        return found == 0;
    const bool written = write(item);
    Py_DECREF(item);
    return written;
}

bool store(const char *bytes, Py_ssize_t length, const char *key, char *field, std::size_t size) {
    const auto n = static_cast<std::size_t>(length);
    if (n >= size || std::memchr(bytes, 0, n) != nullptr) {
        raise_about(PyExc_ValueError, key, " 超出 CTP 字段长度或包含 NUL 字符");
        return false;
    }
    std::memcpy(field, bytes, n);
    return true;
}

bool write_text(PyObject *item, const char *key, char *field, std::size_t size) {
    if (!PyUnicode_Check(item)) {
        raise_about(PyExc_TypeError, key, " 必须是字符串");
        return false;
    }
    // ASCII text is its own GB18030 encoding: copy it without a temporary.
    if (PyUnicode_IS_ASCII(item))
        return store(static_cast<const char *>(PyUnicode_DATA(item)), PyUnicode_GET_LENGTH(item), key, field, size);
    PyObject *bytes = PyUnicode_AsEncodedString(item, "gb18030", "strict");
    if (bytes == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            raise_about(PyExc_ValueError, key, " 包含 CTP 不支持的字符");
        }
        return false;
    }
    const bool stored = store(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), key, field, size);
    Py_DECREF(bytes);
    return stored;
}

}  // namespace

bool read_text(PyObject *dict, const char *key, char *field, std::size_t size) {
    return with_item(dict, key, [&](PyObject *item) { return write_text(item, key, field, size); });
}

bool read(PyObject *dict, const char *key, char &field) {
    char buffer[2] = {};
    if (!read_text(dict, key, buffer, sizeof buffer))
        return false;
    field = buffer[0];
    return true;
}

bool read(PyObject *dict, const char *key, int &field) {
    return with_item(dict, key, [&](PyObject *item) {
        const long long number = PyLong_AsLongLong(item);
        if (number == -1 && PyErr_Occurred())
            return false;
        if (number < INT_MIN || number > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "CTP 整数超出范围");
            return false;
        }
        field = static_cast<int>(number);
        return true;
    });
}

bool read(PyObject *dict, const char *key, double &field) {
    return with_item(dict, key, [&](PyObject *item) {
        field = PyFloat_AsDouble(item);
        return !(field == -1.0 && PyErr_Occurred());
    });
}
