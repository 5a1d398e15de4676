// What a simulated front knows of each API object connected to it: a session
// of the trader library or of the market-data library. Guarded by the front's
// lock (front.h).
#pragma once

#include "event.h"
#include "market.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace standin {

// The session's end of its connection, through which everything the front
// sends it passes: while muted (its connection is going) what is sent is
// lost, and a flow's message that gets through counts as received, where a
// resume goes on from.
class Gate final : public Endpoint {
public:
    explicit Gate(Endpoint &to) : to(to) {}

    const CallbackKind *callback(std::string_view name) const noexcept override { return to.callback(name); }
    void post(std::list<Event> &from, std::list<Event>::iterator event) noexcept override;
    std::size_t pending() override { return to.pending(); }
    std::size_t pending() const { return to.pending(); }
    void set_trading_day(std::string_view day) override { to.set_trading_day(day); }
    THOST_TE_RESUME_TYPE resume(Topic topic) const noexcept override { return to.resume(topic); }
    // The last message of the flow sent through this gate, or recorded in the
    // object's flow directory, whichever is later.
    std::uint32_t follow(Topic topic, std::string_view identity, std::uint32_t &generation) override;

    bool muted = false;

private:
    struct Followed {
        std::string identity;
        std::uint32_t posted = 0;
        std::uint32_t generation = 0;
    };
    Endpoint &to;
    Followed followed[3];  // by Topic
};

struct Session {
    explicit Session(Endpoint &endpoint) : endpoint(endpoint) {}
    Gate endpoint;  // where its callbacks go
    bool connected = false;
    // Its connection: the doors its library tries in turn (the addresses it
    // registered, 0 for one that reaches no door of the venue), where it is in
    // them, and the door it is connected through.
    std::vector<int> ring{1};
    std::size_t at = 0;
    int door = 1;
    // Counts its connections and drops: what was planned for one before is void.
    std::uint64_t epoch = 0;
    bool ever_connected = false;  // before, the library's attempts fail in silence
    int outage = 0;               // the library's attempts still to fail
};

struct TraderSession : Session {
    using Session::Session;
    bool authenticated = false;
    std::string auth_broker;
    std::string auth_user;
    Account *account = nullptr;  // set while logged in
    int session_id = 0;
    long long max_order_ref = 0;
    int not_ready = 0;  // logins still to refuse on this connection
    // Its queries: when the latest ones were sent (as many as the rate
    // counts), those not yet answered whole, and until when its replies are
    // planned (a query is answered after the ones before it).
    std::deque<std::chrono::steady_clock::time_point> queries;
    int unanswered = 0;
    std::chrono::steady_clock::time_point busy_until{};

    bool logged_in() const noexcept { return account != nullptr; }
    // Logged out, as after a drop: the client starts again at authentication.
    void log_out() noexcept {
        authenticated = false;
        account = nullptr;
        queries.clear();
    }
};

struct MdSession : Session {
    using Session::Session;
    std::vector<Instrument *> subscribed;

    bool logged_in() const noexcept { return logged_in_; }
    void log_in() noexcept { logged_in_ = true; }
    // Logged out, as after a drop: the subscriptions end.
    void log_out() noexcept {
        logged_in_ = false;
        subscribed.clear();
    }

private:
    bool logged_in_ = false;
};

}  // namespace standin
