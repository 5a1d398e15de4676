// Field codecs: the only place where CTP record fields and Python values are
// converted into each other. Every function here needs the interpreter lock.
//
// Field kinds: text (char[N], NUL-terminated GB18030), code (char), integer
// (int or short) and real (double); a text field may also be shown as bytes.
#pragma once

#include <Python.h>

#include "names.h"

#include <cstddef>

// ---- out of a record: value, put ---------------------------------------------

// A text field of `size` bytes as a str: the bytes before the first NUL (all
// of them when there is none), decoded as GB18030 with "replace". Text of
// ASCII and two-byte characters is decoded through a table the build makes
// from Python's codec (gen_gb18030.py); any other text goes to the codec.
PyObject *text(const char *field, std::size_t size);

template <std::size_t N>
PyObject *value(const char (&field)[N]) {
    return text(field, N);
}
// A code byte as the one-character str of the same code point (0 to 255).
PyObject *value(char code);
PyObject *value(short number);
PyObject *value(int number);
PyObject *value(double number);
// A text field of `size` bytes as bytes, up to the first NUL (all of them
// when there is none), undecoded.
PyObject *raw(const char *field, std::size_t size);

// Stores item, a new reference that is always consumed, in dict under key.
// Does nothing when dict or item is null or an exception is pending.
void put_new(PyObject *dict, const char *key, PyObject *item);

// Stores value(field) in dict under key. Does nothing when dict is null or an
// exception is pending, so a builder calls it for every field and tests
// PyErr_Occurred() once at the end.
template <class T>
void put(PyObject *dict, const char *key, const T &field) {
    if (dict == nullptr || PyErr_Occurred())
        return;
    put_new(dict, key, value(field));
}

// Stores raw(field, size) in dict under key, as put does.
void put_bytes(PyObject *dict, const char *key, const char *field, std::size_t size);

// Every record builder starts its dict with start<T>() and ends with
// finish<T>(dict), filling it with put in between, always the same keys in
// the same order for one T: within a poll, records of a kind are then copies
// of the first, refilled.
template <class T>
inline constexpr char kind_of = 0;

template <class T>
PyObject *start() {
    return Names::start(&kind_of<T>);
}

template <class T>
PyObject *finish(PyObject *dict) {
    Names::finish(&kind_of<T>, dict);
    return dict;
}

// ---- into a record: read -----------------------------------------------------
//
// Each read looks key up in dict (plain dict lookup, subclasses included) and
// writes the item into a field of a zero-filled record. True when written or
// when the key is absent; false with an exception set.

bool read_text(PyObject *dict, const char *key, char *field, std::size_t size);
// The same for an item itself rather than a dict's; key names it in errors.
bool read_text_item(PyObject *item, const char *key, char *field, std::size_t size);

// At most N-1 encoded bytes and no NUL; the record's zero fill terminates them.
template <std::size_t N>
bool read(PyObject *dict, const char *key, char (&field)[N]) {
    return read_text(dict, key, field, N);
}
// "" or one ASCII character; an absent key also writes zero.
bool read(PyObject *dict, const char *key, char &field);
// Any int (bool and __index__ included) within the field's range.
bool read(PyObject *dict, const char *key, int &field);
bool read(PyObject *dict, const char *key, short &field);
// Anything that converts to a float.
bool read(PyObject *dict, const char *key, double &field);
