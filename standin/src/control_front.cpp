// The control interface of the simulated front (ctpsim.h, "the simulated front").
#include "api.h"
#include "ctpsim.h"
#include "front.h"
#include "state.h"

namespace standin {

void reset_front_switches() {
    limits::set_query_interval_ms(limits::default_query_interval_ms);
    limits::set_max_pending(limits::default_max_pending);
    for (const auto &api : all_apis())
        if (api->alive())
            api->hold(0, false);
}

}  // namespace standin

using namespace standin;

namespace {

// The API object's link to its front, or the reason there is none.
int linked(int api, FrontLink *&link) {
    auto found = find_api(api);
    if (!found || !found->alive())
        return CTPSIM_NO_API;
    link = found->link();
    return link ? CTPSIM_OK : CTPSIM_NO_FRONT;
}

std::shared_ptr<Venue> venue_of(const char *front) { return find_venue(front ? front : ""); }

// Runs a price change; nothing may escape into the C caller.
template <class Change>
int on_venue(const char *front, Change change) noexcept {
    try {
        auto venue = venue_of(front);
        return venue ? change(*venue) : CTPSIM_NO_FRONT;
    } catch (...) {
        return CTPSIM_NO_MEMORY;
    }
}

}  // namespace

extern "C" {

int ctpsim_set_price(const char *front, const char *instrument, double price) {
    return on_venue(front, [&](Venue &venue) { return venue.set_price(instrument ? instrument : "", price); });
}

int ctpsim_move_price(const char *front, const char *instrument, int ticks) {
    return on_venue(front, [&](Venue &venue) { return venue.move_price(instrument ? instrument : "", ticks); });
}

int ctpsim_get_price(const char *front, const char *instrument, double *price) {
    double found = 0;
    const int result =
        on_venue(front, [&](Venue &venue) { return venue.get_price(instrument ? instrument : "", found); });
    if (result == CTPSIM_OK && price)
        *price = found;
    return result;
}

int ctpsim_disconnect(int api, int reason) {
    FrontLink *link = nullptr;
    if (int result = linked(api, link); result != CTPSIM_OK)
        return result;
    return link->disconnect(reason);
}

int ctpsim_reconnect(int api) {
    FrontLink *link = nullptr;
    if (int result = linked(api, link); result != CTPSIM_OK)
        return result;
    return link->reconnect();
}

int ctpsim_hold(int api, int held) {
    auto found = find_api(api);
    return found ? found->hold(0, held != 0) : CTPSIM_NO_API;
}

void ctpsim_query_interval(int ms) { limits::set_query_interval_ms(ms); }

void ctpsim_max_pending(int count) { limits::set_max_pending(count); }

}  // extern "C"
