// The random walks of ctpsim_walk: an instrument's reference price moving a
// tick at a time, on a thread of its own.
#include "walk.h"

#include "ctpsim.h"
#include "link.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace standin {

namespace {

// Rates a walk takes, in steps a second: at the slowest one step in about 32
// years, an interval the steady clock holds with room to add it to the time
// now; at the fastest a million.
constexpr double min_walk_rate = 1e-9;
constexpr double max_walk_rate = 1e6;
static_assert(1e9 / min_walk_rate < static_cast<double>(std::chrono::steady_clock::duration::max().count()) / 4);

// One instrument's reference price moving a tick up or down at a steady rate,
// on a thread of its own, through the front's move_price (so every step
// requotes the market, trades what it crosses and publishes a snapshot).
class Walk {
public:
    Walk(std::shared_ptr<Front> front, std::string instrument, unsigned long long seed, double rate)
        : front(std::move(front)), instrument(std::move(instrument)), random(seed), rate(rate) {
        thread = std::thread([this] { run(); });
    }
    ~Walk() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

private:
    void run() {
        using Clock = std::chrono::steady_clock;
        // Whole nanoseconds, within the clock's range for every rate walk takes.
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(std::llround(1e9 / rate)));
        Clock::time_point next = Clock::now();
        std::unique_lock lock(mutex);
        for (;;) {
            next += period;
            const auto now = Clock::now();
            // Far behind (a loaded machine): start afresh rather than burst.
            if (now - next > std::chrono::seconds(1))
                next = now;
            if (wake.wait_until(lock, next, [this] { return stopping; }))
                return;
            lock.unlock();
            const int step = (random() & 1) ? 1 : -1;
            // At the edge of the price band it turns back.
            if (front->move_price(instrument, step) == CTPSIM_BAD_VALUE)
                front->move_price(instrument, -step);
            lock.lock();
        }
    }

    std::shared_ptr<Front> front;
    std::string instrument;
    std::mt19937_64 random;
    double rate;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

struct Walks {
    std::mutex mutex;
    std::map<std::pair<const Front *, std::string>, std::unique_ptr<Walk>> running;
};

Walks &walks() {
    static auto *instance = new Walks;  // never destroyed, as the fronts
    return *instance;
}

}  // namespace

int walk(std::string_view name, std::string_view instrument, unsigned long long seed, double rate) {
    if (!(rate == 0 || (rate >= min_walk_rate && rate <= max_walk_rate)))
        return CTPSIM_BAD_VALUE;
    std::shared_ptr<Front> front = find_front(name);
    if (!front)
        return CTPSIM_NO_FRONT;
    double price = 0;
    if (front->get_price(instrument, price) != CTPSIM_OK)
        return CTPSIM_NO_FRONT;
    std::unique_ptr<Walk> stopped;
    std::unique_ptr<Walk> started;
    if (rate > 0)
        started = std::make_unique<Walk>(front, std::string(instrument), seed, rate);
    {
        Walks &w = walks();
        std::lock_guard lock(w.mutex);
        auto &slot = w.running[{front.get(), std::string(instrument)}];
        stopped = std::move(slot);
        slot = std::move(started);
    }
    return CTPSIM_OK;  // the old walk, if any, stops here, outside the lock
}

void stop_walks() {
    decltype(Walks::running) stopped;
    {
        Walks &w = walks();
        std::lock_guard lock(w.mutex);
        stopped.swap(w.running);
    }
}

}  // namespace standin
