// What a simulated front knows of each API object connected to it: a session
// of the trader library or of the market-data library. Guarded by the front's
// lock (front.h).
#pragma once

#include "event.h"
#include "market.h"

#include <chrono>
#include <string>
#include <vector>

namespace standin {

struct Session {
    explicit Session(Endpoint &endpoint) : endpoint(endpoint) {}
    Endpoint &endpoint;  // where its callbacks go
    bool connected = false;
};

struct TraderSession : Session {
    using Session::Session;
    bool authenticated = false;
    std::string auth_broker;
    std::string auth_user;
    Account *account = nullptr;  // set while logged in
    int session_id = 0;
    long long max_order_ref = 0;
    bool queried = false;
    std::chrono::steady_clock::time_point last_query{};

    bool logged_in() const noexcept { return account != nullptr; }
    // Logged out, as after a drop: the client starts again at authentication.
    void log_out() noexcept {
        authenticated = false;
        account = nullptr;
        queried = false;
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
