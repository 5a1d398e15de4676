// The callbacks an API object runs on its threads, and the endpoint through
// which a simulated front reaches them: all a front knows of an API object.
#pragma once

#include "ThostFtdcUserApiStruct.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace standin {

// How the library invokes one kind of callback on a registered spi. Each
// library has its own table (callbacks.h), whose entries cast the spi back
// to that library's spi class.
struct CallbackKind {
    const char *name;
    std::size_t record_size;  // 0 when the callback takes no record
    void (*invoke)(void *spi, void *record, CThostFtdcRspInfoField *info, int id, bool last);
};

// Largest record any callback carries; every thread keeps one buffer of it.
inline constexpr std::size_t max_record_size = 4096;

// Signalled when a posted event has been delivered or dropped. A waiter that
// gives up cancels what has not run yet.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    int state = 1;  // 1 pending, 0 delivered, CTPSIM_DROPPED dropped
    bool cancelled = false;
    int wait(int timeout_ms);
    void finish(int result);
    // False once the waiter gave up: the callback is not run.
    bool may_run();
};

// The flows a front numbers its messages in (THOST_TE_RESUME_TYPE says how
// each is resumed after login): the investor's private flow and the public one.
enum class Topic : unsigned char { none, private_flow, public_flow };

// A callback waiting to run on one of the library's threads.
struct Event {
    const CallbackKind *kind = nullptr;
    bool has_record = false;
    std::vector<unsigned char> record;
    bool has_info = false;
    CThostFtdcRspInfoField info{};
    int id = 0;
    bool last = true;
    int repeat = 1;  // > 1: the same callback again with id counting up
    std::shared_ptr<Completion> completion;
    // A flow's message: its sequence number there, and which of the flows the
    // object followed it is counted for once delivered (Endpoint::follow).
    Topic topic = Topic::none;
    std::uint32_t sequence = 0;
    std::uint32_t generation = 0;

    // Carries copies of the record's bytes and of the error information
    // (a CThostFtdcRspInfoField); null pointers for none.
    void attach(const void *bytes, std::size_t size, const void *error) {
        has_record = false;
        has_info = false;
        if (bytes) {
            const auto *first = static_cast<const unsigned char *>(bytes);
            has_record = true;
            record.assign(first, first + size);
        }
        if (error) {
            has_info = true;
            std::memcpy(&info, error, sizeof info);
        }
    }
};

// What a simulated front sees of an API object, of either library: where the
// session's callbacks go.
class Endpoint {
public:
    // The callback of this object's spi class with this name, or null.
    virtual const CallbackKind *callback(std::string_view name) const noexcept = 0;
    // Moves an event made ahead over to thread 0: cannot fail. An object not
    // started or released drops it (it stays in `from`).
    virtual void post(std::list<Event> &from, std::list<Event>::iterator event) noexcept = 0;
    // Callbacks waiting on thread 0.
    virtual std::size_t pending() = 0;
    // What GetTradingDay returns from now on (the front sets it at login).
    virtual void set_trading_day(std::string_view day) = 0;
    // How the object subscribed to a flow (SubscribePrivateTopic,
    // SubscribePublicTopic): THOST_TERT_QUICK when it never said.
    virtual THOST_TE_RESUME_TYPE resume(Topic topic) const noexcept = 0;
    // From now on the flow's messages delivered count for `identity` (the
    // venue, and the investor, of a trading day), under a new generation the
    // events carry; returns the last sequence number of that identity the
    // object's flow directory received (0: none).
    virtual std::uint32_t follow(Topic topic, std::string_view identity, std::uint32_t &generation) = 0;

protected:
    ~Endpoint() = default;
};

}  // namespace standin
