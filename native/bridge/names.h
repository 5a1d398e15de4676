// Python strings for the C strings that name dict keys and events.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

// While a Names lives (poll keeps one for each batch), the str for each
// literal used as a key or an event name is made once and reused, instead of
// once for every field of every record, and every record of a kind with more
// than five keys starts as a copy of the first: one table, sized once,
// instead of one grown key by key. The cache lives on the consumer's
// stack, so it is valid in whichever interpreter runs poll and is gone when
// the batch is; nested batches (poll reached from a finalizer) get their own.
class Names {
public:
    Names() noexcept;
    ~Names();
    Names(const Names &) = delete;
    Names &operator=(const Names &) = delete;

    // A new reference to the str for the static string text, or null with an
    // exception set.
    static PyObject *get(const char *text);

    // A new dict for a record of the kind named by `kind` (any static
    // address): within a batch, a copy of the first complete record of that
    // kind, whose values the builder then replaces key by key, so that no
    // table grows and the keys keep their order; otherwise an empty dict.
    // Null with an exception set when no dict can be made.
    static PyObject *start(const void *kind);
    // Offers a complete record of that kind as the model for later ones.
    static void finish(const void *kind, PyObject *dict);

private:
    PyObject *find(const char *text);

    struct Entry {
        const char *text = nullptr;
        PyObject *str = nullptr;
    };
    // Open addressing on the literal's address; more distinct names than
    // this are made afresh rather than cached.
    static constexpr std::size_t slots = 256;
    std::array<Entry, slots> entries{};
    // Models of records by kind: a few kinds per batch at most.
    struct Shape {
        const void *kind = nullptr;
        PyObject *dict = nullptr;
    };
    std::array<Shape, 16> shapes{};
    Names *outer;
    static thread_local Names *current;
};
