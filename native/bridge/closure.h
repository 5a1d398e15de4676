// A queued event: a move-only callable that builds its event record later.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

// Type-erased, move-only, argument-less callable returning a new reference
// (or null with an exception set). It holds only plain data copied on the
// vendor's thread, so it may be built, moved and destroyed without the
// interpreter lock; it is run only with the lock held.
class Closure {
public:
    // Builds the callable F in place from args: one heap allocation, sized to F.
    template <class F, class... Args>
    static Closure make(Args &&...args) {
        return Closure(std::make_unique<Holder<F>>(std::forward<Args>(args)...));
    }

    PyObject *operator()() const { return body->run(); }
    // The name of the event it builds, a static string.
    const char *event() const noexcept { return body->event(); }

private:
    struct Base {
        virtual ~Base() = default;
        virtual PyObject *run() const = 0;
        virtual const char *event() const noexcept = 0;
    };
    template <class F>
    struct Holder final : Base {
        template <class... Args>
        explicit Holder(Args &&...args) : fn(std::forward<Args>(args)...) {}
        PyObject *run() const override { return fn(); }
        const char *event() const noexcept override { return fn.event(); }
        F fn;
    };

    explicit Closure(std::unique_ptr<Base> b) noexcept : body(std::move(b)) {}

    std::unique_ptr<Base> body;
};
