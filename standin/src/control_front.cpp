// The control interface of the simulated fronts (ctpsim.h, "the simulated
// front"): prices, random walks, connections, and the limits every front keeps.
#include "api.h"
#include "control.h"
#include "ctpsim.h"
#include "link.h"
#include "state.h"
#include "walk.h"

namespace standin {

void reset_front_switches() {
    stop_walks();
    limits::set_query_interval_ms(limits::default_query_interval_ms);
    limits::set_max_pending(limits::default_max_pending);
    for (const auto &api : all_apis())
        if (api->alive())
            api->hold(0, false);
}

}  // namespace standin

using namespace standin;

namespace {

// Runs a change of a front's market.
template <class Change>
int on_front(const char *name, Change change) noexcept {
    return guarded([&] {
        std::shared_ptr<Front> front = find_front(name ? name : "");
        return front ? change(*front) : CTPSIM_NO_FRONT;
    });
}

// The API object's link to its front, or the reason there is none.
int linked(int api, FrontLink *&link) {
    auto found = find_api(api);
    if (!found || !found->alive())
        return CTPSIM_NO_API;
    link = found->link();
    return link ? CTPSIM_OK : CTPSIM_NO_FRONT;
}

}  // namespace

extern "C" {

int ctpsim_set_price(const char *front, const char *instrument, double price) {
    return on_front(front, [&](Front &found) { return found.set_price(instrument ? instrument : "", price); });
}

int ctpsim_move_price(const char *front, const char *instrument, int ticks) {
    return on_front(front, [&](Front &found) { return found.move_price(instrument ? instrument : "", ticks); });
}

int ctpsim_get_price(const char *front, const char *instrument, double *price) {
    double found_price = 0;
    const int result =
        on_front(front, [&](Front &found) { return found.get_price(instrument ? instrument : "", found_price); });
    if (result == CTPSIM_OK && price)
        *price = found_price;
    return result;
}

int ctpsim_walk(const char *front, const char *instrument, unsigned long long seed, double rate) {
    return guarded([&] { return walk(front ? front : "", instrument ? instrument : "", seed, rate); });
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
