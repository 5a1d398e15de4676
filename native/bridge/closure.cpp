#include "closure.h"

#include <algorithm>

Pool::~Pool() {
    for (Chunk *chunk = chunks; chunk != nullptr;) {
        Chunk *next = chunk->next;
        ::operator delete(chunk);
        chunk = next;
    }
}

void *Pool::Ring::pop() noexcept {
    void *block = slots[head];
    head = head + 1 == slots.size() ? 0 : head + 1;
    --count;
    return block;
}

void Pool::Ring::push(void *block) noexcept {
    std::size_t at = head + count;
    if (at >= slots.size())
        at -= slots.size();
    slots[at] = block;
    ++count;
}

void Pool::Ring::grow(std::size_t more) {
    std::vector<void *> bigger(slots.size() + more);
    for (std::size_t i = 0; i < count; ++i)
        bigger[i] = slots[(head + i) % slots.size()];
    slots.swap(bigger);
    head = 0;
}

void *Pool::take(std::uint8_t size_class) {
    Ring &ring = free[size_class];
    {
        std::lock_guard guard(mutex);
        if (!ring.empty())
            return ring.pop();
    }
    // A new chunk, allocated without the lock: the first block is the one
    // asked for, the others go into the ring.
    constexpr std::size_t header = alignof(std::max_align_t);
    static_assert(sizeof(Chunk) <= header);
    const std::size_t block = block_bytes(size_class);
    const std::size_t count = std::max<std::size_t>(1, (chunk_bytes - header) / block);
    auto *raw = static_cast<std::byte *>(::operator new(header + count * block));
    auto *chunk = ::new (raw) Chunk{nullptr};
    std::lock_guard guard(mutex);
    try {
        ring.grow(count);
    } catch (...) {
        ::operator delete(raw);
        throw;
    }
    chunk->next = chunks;
    chunks = chunk;
    for (std::size_t i = 1; i < count; ++i)
        ring.push(raw + header + i * block);
    return raw + header;
}

void Pool::give(std::uint8_t size_class, void *block) noexcept {
    std::lock_guard guard(mutex);
    free[size_class].push(block);
}

void Pool::recycle(Closure *closure) noexcept {
    const std::uint8_t size_class = closure->size_class;
    closure->~Closure();
    give(size_class, closure);
}

void Pool::recycle(Closures &spent) noexcept {
    // Destroyed without the lock, then returned a few at a time, so that a
    // vendor thread taking a block never waits long.
    constexpr std::size_t batch = 128;
    std::array<std::pair<std::uint8_t, void *>, batch> returned;
    while (!spent.empty()) {
        std::size_t n = 0;
        for (; n < batch && !spent.empty(); ++n) {
            Closure *closure = spent.pop_front();
            returned[n] = {closure->size_class, closure};
            closure->~Closure();
        }
        std::lock_guard guard(mutex);
        for (std::size_t i = 0; i < n; ++i)
            free[returned[i].first].push(returned[i].second);
    }
}
