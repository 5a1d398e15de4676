// The control interface of market-data API objects and of the random walks
// (ctpsim.h, "market data").
#include "ctpsim.h"
#include "front.h"
#include "md.h"

#include <memory>

using namespace standin;

namespace {

template <class Call>
int guarded(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return CTPSIM_NO_MEMORY;
    }
}

int run(int api, int thread, const char *callback, const void *record, size_t record_size, const void *info,
        size_t info_size, int id, int last, int repeat, int timeout_ms) {
    std::shared_ptr<MdApi> found = find_md_api(api);
    if (!found)
        return CTPSIM_NO_API;
    Event event;
    event.md_kind = find_md_callback(callback ? callback : "");
    if (!event.md_kind)
        return CTPSIM_NO_CALLBACK;
    if (record && (event.md_kind->record_size == 0 || record_size != event.md_kind->record_size))
        return CTPSIM_BAD_SIZE;
    if (info && info_size != sizeof(CThostFtdcRspInfoField))
        return CTPSIM_BAD_SIZE;
    if (repeat <= 0)
        return CTPSIM_OK;
    event.attach(record, record_size, info);
    event.id = id;
    event.last = last != 0;
    event.repeat = repeat;
    auto completion = std::make_shared<Completion>();
    event.completion = completion;
    if (int posted = found->post(thread, std::move(event)); posted != CTPSIM_OK)
        return posted;
    return completion->wait(timeout_ms);
}

int linked(int api, MdLink *&link) {
    auto found = find_md_api(api);
    if (!found || !found->alive())
        return CTPSIM_NO_API;
    link = found->link();
    return link ? CTPSIM_OK : CTPSIM_NO_FRONT;
}

}  // namespace

extern "C" {

int ctpsim_md_api_of(const char *flow_path) { return md_api_of(flow_path ? flow_path : ""); }

int ctpsim_md_alive(int api) {
    auto found = find_md_api(api);
    return found && found->alive();
}

int ctpsim_md_emit(int api, int thread, const char *callback, const void *record, size_t record_size,
                   const void *info, size_t info_size, int id, int last, int timeout_ms) {
    return guarded(
        [&] { return run(api, thread, callback, record, record_size, info, info_size, id, last, 1, timeout_ms); });
}

int ctpsim_md_flood_record(int api, int thread, const char *callback, const void *record, size_t record_size, int n,
                           int timeout_ms) {
    return guarded([&] { return run(api, thread, callback, record, record_size, nullptr, 0, 0, 1, n, timeout_ms); });
}

int ctpsim_md_disconnect(int api, int reason) {
    MdLink *link = nullptr;
    if (int result = linked(api, link); result != CTPSIM_OK)
        return result;
    return link->disconnect(reason);
}

int ctpsim_md_reconnect(int api) {
    MdLink *link = nullptr;
    if (int result = linked(api, link); result != CTPSIM_OK)
        return result;
    return link->reconnect();
}

int ctpsim_md_hold(int api, int held) {
    auto found = find_md_api(api);
    return found ? guarded([&] { return found->hold(0, held != 0); }) : CTPSIM_NO_API;
}

int ctpsim_walk(const char *front, const char *instrument, unsigned long long seed, double rate) {
    return guarded([&] { return walk(front ? front : "", instrument ? instrument : "", seed, rate); });
}

}  // extern "C"
