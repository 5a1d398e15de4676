#include "names.h"

thread_local Names *Names::current = nullptr;

Names::Names() noexcept : outer(current) { current = this; }

Names::~Names() {
    current = outer;
    for (Entry &entry : entries)
        Py_XDECREF(entry.str);
    for (Shape &shape : shapes)
        Py_XDECREF(shape.dict);
}

PyObject *Names::start(const void *kind) {
    if (current != nullptr)
        for (const Shape &shape : current->shapes)
            if (shape.kind == kind)
                return PyDict_Copy(shape.dict);
    return PyDict_New();
}

void Names::finish(const void *kind, PyObject *dict) {
    // A dict of five keys or fewer never grows its table: a copy would only
    // cost more than filling a new one.
    if (current == nullptr || dict == nullptr || PyErr_Occurred() || PyDict_GET_SIZE(dict) <= 5)
        return;
    for (Shape &shape : current->shapes) {
        if (shape.kind == kind)
            return;
        if (shape.kind == nullptr) {
            // A copy: the record itself goes to Python and may be changed there.
            if (PyObject *model = PyDict_Copy(dict)) {
                shape.kind = kind;
                shape.dict = model;
            } else {
                PyErr_Clear();  // no model: later records are built key by key
            }
            return;
        }
    }
}

PyObject *Names::get(const char *text) {
    if (current != nullptr)
        return current->find(text);
    return PyUnicode_FromString(text);
}

PyObject *Names::find(const char *text) {
    std::size_t at = (reinterpret_cast<std::uintptr_t>(text) >> 3) % slots;
    for (std::size_t probe = 0; probe < slots; ++probe, at = (at + 1) % slots) {
        Entry &entry = entries[at];
        if (entry.text == text)
            return Py_NewRef(entry.str);
        if (entry.text == nullptr) {
            PyObject *str = PyUnicode_InternFromString(text);
            if (str == nullptr)
                return nullptr;
            entry.text = text;
            entry.str = str;
            return Py_NewRef(str);
        }
    }
    return PyUnicode_FromString(text);
}
