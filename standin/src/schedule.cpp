#include "schedule.h"

#include "front.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace standin {

namespace {

struct Schedule {
    std::mutex mutex;  // never held while a front is called
    std::condition_variable wake;
    bool changed = false;
    bool running = false;
    std::vector<std::shared_ptr<Front>> fronts;
};

Schedule &schedule() {
    static auto *instance = new Schedule;  // never destroyed, as the fronts
    return *instance;
}

void run() {
    Schedule &s = schedule();
    // A long wait at most: the machine's clock may be set meanwhile.
    constexpr std::chrono::milliseconds longest = std::chrono::seconds(60);
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed = false;
        const std::vector<std::shared_ptr<Front>> fronts = s.fronts;
        lock.unlock();
        std::chrono::milliseconds wait = longest;
        for (const auto &front : fronts) {
            try {
                if (const auto next = front->tick())
                    wait = std::min(wait, *next + std::chrono::milliseconds(1));
            } catch (...) {
                wait = std::min<std::chrono::milliseconds>(wait, std::chrono::seconds(1));
            }
        }
        lock.lock();
        s.wake.wait_for(lock, wait, [&] { return s.changed; });
    }
}

}  // namespace

void keep_on_time(std::shared_ptr<Front> front) {
    Schedule &s = schedule();
    std::lock_guard lock(s.mutex);
    s.fronts.push_back(std::move(front));
    s.changed = true;
    if (!s.running) {
        // Runs until the process ends; never joined (fronts are never destroyed).
        std::thread(run).detach();
        s.running = true;
    }
    s.wake.notify_one();
}

void clocks_changed() noexcept {
    Schedule &s = schedule();
    {
        std::lock_guard lock(s.mutex);
        s.changed = true;
    }
    s.wake.notify_one();
}

}  // namespace standin
