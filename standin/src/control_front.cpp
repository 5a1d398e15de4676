// The control interface of the simulated fronts (ctpsim.h, "the simulated
// front"): prices, random walks, connections, and the limits every front keeps.
#include "api.h"
#include "control.h"
#include "ctpsim.h"
#include "link.h"
#include "schedule.h"
#include "state.h"
#include "walk.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

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

int ctpsim_heartbeat_warning(int api, int time_lapse) {
    FrontLink *link = nullptr;
    if (int result = linked(api, link); result != CTPSIM_OK)
        return result;
    return link->heartbeat_warning(time_lapse);
}

int ctpsim_set_clock(const char *front, const char *time) {
    std::optional<Millis> civil;
    if (time && *time && !(civil = parse_civil(time)))
        return CTPSIM_BAD_VALUE;
    const int result = on_front(front, [&](Front &found) { return found.set_clock(civil); });
    clocks_changed();
    return result;
}

int ctpsim_advance_clock(const char *front, long long milliseconds) {
    // Forward only, and not past the year 9999.
    if (milliseconds < 0 || milliseconds > 100LL * 365 * millis_per_day)
        return CTPSIM_BAD_VALUE;
    const int result = on_front(front, [&](Front &found) { return found.advance_clock(milliseconds); });
    clocks_changed();
    return result;
}

int ctpsim_freeze_clock(const char *front, int frozen) {
    const int result = on_front(front, [&](Front &found) { return found.freeze_clock(frozen != 0); });
    clocks_changed();
    return result;
}

int ctpsim_get_clock(const char *front, long long *milliseconds) {
    Millis now = 0;
    const int result = on_front(front, [&](Front &found) {
        now = found.clock_now();
        return CTPSIM_OK;
    });
    if (result == CTPSIM_OK && milliseconds)
        *milliseconds = now;
    return result;
}

int ctpsim_settle(const char *front) {
    const int result = on_front(front, [&](Front &found) { return found.settle(); });
    clocks_changed();
    return result;
}

int ctpsim_set_status(const char *front, const char *instrument, const char *status) {
    const std::string_view code = status ? status : "";
    if (code.size() != 1)
        return CTPSIM_BAD_VALUE;
    return on_front(front, [&](Front &found) { return found.set_status(instrument ? instrument : "", code[0]); });
}

int ctpsim_trading_notice(const char *front, const char *broker, const char *investor, const char *text) {
    return on_front(front, [&](Front &found) {
        return found.trading_notice(broker ? broker : "", investor ? investor : "", text ? text : "");
    });
}

int ctpsim_behave(const char *front, const char *key, const char *value) {
    return on_front(front, [&](Front &found) { return found.behave(key ? key : "", value ? value : ""); });
}

long long ctpsim_choices(const char *front, char *out, size_t size) {
    long long length = 0;
    const int found = on_front(front, [&](Front &with) {
        std::string text;
        for (const std::string &note : with.choices())
            text += note + "\n";
        length = static_cast<long long>(text.size());
        if (out && size > 0) {
            const std::size_t n = std::min(text.size(), size - 1);
            std::memcpy(out, text.data(), n);
            out[n] = 0;
        }
        return CTPSIM_OK;
    });
    return found == CTPSIM_OK ? length : found;
}

void ctpsim_query_interval(int ms) { limits::set_query_interval_ms(ms); }

void ctpsim_max_pending(int count) { limits::set_max_pending(count); }

}  // extern "C"
