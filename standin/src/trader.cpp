// The stand-in trader library: its API object, its callbacks and the
// exported static entry points of CThostFtdcTraderApi.
#include "trader.h"

#include "link.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>

namespace standin {

namespace {

// The floor for benchmarks: a copy of an order record into a preallocated,
// prefaulted ring as large as a session's queue.
void floor_copy(const void *record) {
    constexpr std::size_t slots = 0x8000;
    using Slot = std::array<unsigned char, sizeof(CThostFtdcOrderField)>;
    static const auto ring = [] {
        auto made = std::make_unique<Slot[]>(slots);
        std::memset(made.get(), 0, slots * sizeof(Slot));
        return made;
    }();
    static std::atomic<std::size_t> next{0};
    Slot &slot = ring[next.fetch_add(1, std::memory_order_relaxed) % slots];
    if (record)
        std::memcpy(slot.data(), record, slot.size());
    else
        std::memset(slot.data(), 0, slot.size());
}

// The library's callbacks, and the floor for benchmarks: not a callback but
// what the cheapest possible client does with an order record.
const auto trader_callbacks = interface::trader::callback_table(
    CallbackKind{"ctpsim:floor", sizeof(CThostFtdcOrderField),
                 [](void *, void *r, CThostFtdcRspInfoField *, int, bool) { floor_copy(r); }});

}  // namespace

TraderApi::TraderApi(int serial, std::string flow) : ApiObject(serial, std::move(flow), trader_callbacks) {}

std::unique_ptr<FrontLink> TraderApi::make_link(std::shared_ptr<Front> front, std::vector<int> ring) {
    return std::make_unique<Link<TraderSession>>(std::move(front), *this, std::move(ring));
}

void TraderApi::SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int length) {
    if (dead("SubscribePrivateTopic"))
        return;
    log("SubscribePrivateTopic", [&](Call &call) {
        call.arg1 = type;
        call.arg2 = length;
    });
    throw_if_asked("SubscribePrivateTopic");
    subscribe_topic(Topic::private_flow, type);
}

void TraderApi::SubscribePublicTopic(THOST_TE_RESUME_TYPE type) {
    if (dead("SubscribePublicTopic"))
        return;
    log("SubscribePublicTopic", [&](Call &call) { call.arg1 = type; });
    throw_if_asked("SubscribePublicTopic");
    subscribe_topic(Topic::public_flow, type);
}

template <class Record>
int TraderApi::request(const char *op, Record *record, int id) {
    return ApiObject::request(op, record, id,
                              [&](const Record &sent) { return link_as<Link<TraderSession>>()->request(sent, id); });
}


}  // namespace standin

using namespace standin;

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *flow_path, bool production) {
    return create<TraderApi>("CreateFtdcTraderApi", flow_path, production, 0);
}

const char *CThostFtdcTraderApi::GetApiVersion() { return api_version(); }
