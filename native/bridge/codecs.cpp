#include "codecs.h"

#include "gb18030_pairs.h"
#include "names.h"

#include <algorithm>
#include <cstring>
#include <limits>

// ---- out ---------------------------------------------------------------------

namespace {

// The code point of the two-byte GB18030 character lead, trail; 0 when the
// table does not hold it and only the codec can tell.
Py_UCS2 pair_point(unsigned char lead, unsigned char trail) {
    if (lead < gb18030::lead_first || lead > gb18030::lead_last || trail < gb18030::trail_first ||
        trail > gb18030::trail_last)
        return 0;
    return gb18030::pairs[(lead - gb18030::lead_first) * gb18030::trails + (trail - gb18030::trail_first)];
}

// What the table makes of some text: its length in characters and a bound
// on its code points for PyUnicode_New (the largest pair's, at least 0x7F),
// or found == false when some byte is neither ASCII nor part of a pair in
// the table.
struct Measure {
    bool found = true;
    std::size_t characters = 0;
    Py_UCS4 max = 0x7F;
};

Measure measure(const unsigned char *bytes, std::size_t length) {
    Measure m;
    for (std::size_t i = 0; i < length; ++m.characters) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        // A pair's code point, or 0 for a lead byte at the end.
        const Py_UCS2 point = i + 1 < length ? pair_point(bytes[i], bytes[i + 1]) : 0;
        if (point == 0) {
            m.found = false;
            break;
        }
        m.max = std::max<Py_UCS4>(m.max, point);
        i += 2;
    }
    return m;
}

// Writes the characters of text that measure() found whole into out.
template <class Unit>
void fill(Unit *out, const unsigned char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++out) {
        if (bytes[i] < 0x80) {
            *out = bytes[i];
            ++i;
        } else {
            *out = static_cast<Unit>(pair_point(bytes[i], bytes[i + 1]));
            i += 2;
        }
    }
}

}  // namespace

PyObject *text(const char *field, std::size_t size) {
    const void *nul = std::memchr(field, 0, size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : size;
    const auto *bytes = reinterpret_cast<const unsigned char *>(field);
    // ASCII and the table's pairs, the text CTP sends, are decoded here;
    // anything else goes whole to the codec, so the result is always the
    // codec's.
    const Measure m = measure(bytes, length);
    if (!m.found)
        return PyUnicode_Decode(field, static_cast<Py_ssize_t>(length), "gb18030", "replace");
    PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(m.characters), m.max);
    if (str != nullptr) {
        if (m.characters == length)  // ASCII, which GB18030 keeps byte for byte
            std::memcpy(PyUnicode_1BYTE_DATA(str), field, length);
        else if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND)
            fill(PyUnicode_1BYTE_DATA(str), bytes, length);
        else  // the table holds nothing above U+FFFF
            fill(PyUnicode_2BYTE_DATA(str), bytes, length);
    }
    return str;
}

PyObject *value(char code) { return PyUnicode_FromOrdinal(static_cast<unsigned char>(code)); }

PyObject *value(short number) { return PyLong_FromLong(number); }

PyObject *value(int number) { return PyLong_FromLong(number); }

PyObject *value(double number) { return PyFloat_FromDouble(number); }

PyObject *raw(const char *field, std::size_t size) {
    const void *nul = std::memchr(field, 0, size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : size;
    return PyBytes_FromStringAndSize(field, static_cast<Py_ssize_t>(length));
}

void put_bytes(PyObject *dict, const char *key, const char *field, std::size_t size) {
    if (dict == nullptr || PyErr_Occurred())
        return;
    put_new(dict, key, raw(field, size));
}

void put_new(PyObject *dict, const char *key, PyObject *item) {
    if (dict != nullptr && item != nullptr && !PyErr_Occurred()) {
        if (PyObject *name = Names::get(key)) {
            PyDict_SetItem(dict, name, item);
            Py_DECREF(name);
        }
    }
    Py_XDECREF(item);
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

namespace {

template <class Integer>
bool read_integer(PyObject *dict, const char *key, Integer &field) {
    return with_item(dict, key, [&](PyObject *item) {
        const long long number = PyLong_AsLongLong(item);
        if (number == -1 && PyErr_Occurred())
            return false;
        if (number < std::numeric_limits<Integer>::min() || number > std::numeric_limits<Integer>::max()) {
            PyErr_SetString(PyExc_OverflowError, "CTP 整数超出范围");
            return false;
        }
        field = static_cast<Integer>(number);
        return true;
    });
}

}  // namespace

bool read(PyObject *dict, const char *key, int &field) { return read_integer(dict, key, field); }

bool read(PyObject *dict, const char *key, short &field) { return read_integer(dict, key, field); }

bool read(PyObject *dict, const char *key, double &field) {
    return with_item(dict, key, [&](PyObject *item) {
        field = PyFloat_AsDouble(item);
        return !(field == -1.0 && PyErr_Occurred());
    });
}

bool read_text_item(PyObject *item, const char *key, char *field, std::size_t size) {
    return write_text(item, key, field, size);
}
