// A queued event: a callable that builds its event record later, kept in a
// block of its session's pool and linked into the session's queue.
#pragma once

#include <Python.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

// Type-erased, argument-less callable returning a new reference (or null with
// an exception set). It holds only plain data copied on the vendor's thread,
// so it may be built, moved between queues and destroyed without the
// interpreter lock; it is run only with the lock held, and running it does
// not change it (a poll that could not hand its record over runs it again).
class Closure {
public:
    virtual PyObject *operator()() const = 0;
    // The name of the event it builds, a static string.
    virtual const char *event() const noexcept = 0;

    Closure(const Closure &) = delete;
    Closure &operator=(const Closure &) = delete;

protected:
    Closure() = default;
    virtual ~Closure() = default;

private:
    friend class Closures;
    friend class Pool;
    Closure *next = nullptr;     // the following event in its queue
    std::uint8_t size_class = 0;  // which of its pool's free lists its block returns to
};

// Closures in first-in-first-out order, linked through themselves: appending,
// taking the oldest and exchanging two lists never allocate.
class Closures {
public:
    Closures() = default;
    Closures(const Closures &) = delete;
    Closures &operator=(const Closures &) = delete;

    bool empty() const noexcept { return head == nullptr; }
    std::size_t size() const noexcept { return count; }
    const Closure &front() const noexcept { return *head; }

    void push_back(Closure *closure) noexcept {
        closure->next = nullptr;
        (tail ? tail->next : head) = closure;
        tail = closure;
        ++count;
    }
    Closure *pop_front() noexcept {
        Closure *first = head;
        head = first->next;
        if (head == nullptr)
            tail = nullptr;
        --count;
        return first;
    }
    void swap(Closures &other) noexcept {
        std::swap(head, other.head);
        std::swap(tail, other.tail);
        std::swap(count, other.count);
    }

    class iterator {
    public:
        explicit iterator(const Closure *at) noexcept : at(at) {}
        const Closure &operator*() const noexcept { return *at; }
        iterator &operator++() noexcept {
            at = at->next;
            return *this;
        }
        bool operator==(const iterator &) const = default;

    private:
        const Closure *at;
    };
    iterator begin() const noexcept { return iterator(head); }
    iterator end() const noexcept { return iterator(nullptr); }

private:
    Closure *head = nullptr;
    Closure *tail = nullptr;
    std::size_t count = 0;
};

// The blocks a session builds its closures in. Blocks come in power-of-two
// sizes, each size with a ring of free blocks; a block whose closure was
// delivered or dropped goes back into its ring and is used again, so a
// steady flow of events, and bursts after the first, allocate nothing and
// touch no fresh page. The rings are arrays of pointers rather than lists
// threaded through the blocks: taking a block reads no cold memory. New
// blocks come in chunks of at least 64 KiB, allocated outside the lock;
// everything is given back when the pool is destroyed.
class Pool {
public:
    Pool() = default;
    ~Pool();
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // Builds F from args in a block of this pool. Throws std::bad_alloc when
    // no block can be had.
    template <class F, class... Args>
    Closure *make(Args &&...args);

    // Destroys a closure and keeps its block.
    void recycle(Closure *closure) noexcept;
    // The same for every closure of a list, which ends up empty; the lock is
    // taken once, for constant time.
    void recycle(Closures &spent) noexcept;

private:
    template <class F>
    class Holder final : public Closure {
    public:
        template <class... Args>
        explicit Holder(Args &&...args) : fn(std::forward<Args>(args)...) {}
        PyObject *operator()() const override { return fn(); }
        const char *event() const noexcept override { return fn.event(); }

    private:
        F fn;
    };

    struct Chunk {
        Chunk *next;
    };
    // Block sizes from 2^smallest to 2^(smallest + classes - 1) bytes.
    static constexpr unsigned smallest = 6;
    static constexpr unsigned classes = 12;
    static constexpr std::size_t chunk_bytes = 64 * 1024;

    template <std::size_t Size>
    static constexpr std::uint8_t class_of() {
        constexpr unsigned bits = std::bit_width(Size - 1);
        static_assert(bits < smallest + classes, "a closure larger than the largest block");
        return static_cast<std::uint8_t>(bits < smallest ? 0 : bits - smallest);
    }
    static constexpr std::size_t block_bytes(std::uint8_t size_class) { return std::size_t{1} << (size_class + smallest); }

    void *take(std::uint8_t size_class);
    void give(std::uint8_t size_class, void *block) noexcept;

    // Free blocks of one size, taken in the order they were returned: a
    // burst then writes its blocks in the order of the burst before it,
    // which the processor's prefetching follows. Room for every block of the
    // size, so returning one never allocates.
    class Ring {
    public:
        bool empty() const noexcept { return count == 0; }
        void *pop() noexcept;
        void push(void *block) noexcept;
        // Makes room for `more` blocks beyond those the ring has room for.
        void grow(std::size_t more);

    private:
        std::vector<void *> slots;
        std::size_t head = 0;
        std::size_t count = 0;
    };

    std::mutex mutex;  // guards the rings below, and nothing else
    std::array<Ring, classes> free;
    Chunk *chunks = nullptr;
};

template <class F, class... Args>
Closure *Pool::make(Args &&...args) {
    using H = Holder<F>;
    static_assert(alignof(H) <= alignof(std::max_align_t));
    constexpr std::uint8_t size_class = class_of<sizeof(H)>();
    void *block = take(size_class);
    Closure *closure;
    try {
        closure = ::new (block) H(std::forward<Args>(args)...);
    } catch (...) {
        give(size_class, block);
        throw;
    }
    closure->size_class = size_class;
    return closure;
}
