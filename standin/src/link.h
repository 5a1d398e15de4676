// How an API object reaches a simulated front: front addresses, the
// process-wide set of fronts, and the link between one API object and its
// front (its session there).
#pragma once

#include "ctpsim.h"
#include "front.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// A simulated front address, sim://NAME or sim://NAME?config=PATH; a door
// other than the first of the venue NAME after a slash, sim://NAME/K.
struct SimAddress {
    std::string name;
    std::string config;  // empty: the defaults
    int door = 1;
};
std::optional<SimAddress> parse_sim_address(std::string_view address) noexcept;

// The front of a name ("demo", "sim://demo" or "sim://demo?..."), or null
// when no session has reached it yet.
std::shared_ptr<Front> find_front(std::string_view name);

// The front of a simulated address, set up by the first session of either
// library to reach its name; null when its configuration cannot be read.
std::shared_ptr<Front> reach_front(const SimAddress &address) noexcept;

// One API object's connection to its front. Made by Init, never destroyed
// (the API object outlives Release as a tombstone).
//
// Its callers are the client's threads and the control interface: nothing may
// escape into them. Only memory exhaustion throws behind these calls; what
// failed then is as if never sent.
class FrontLink {
public:
    virtual ~FrontLink() = default;
    virtual void connect() noexcept = 0;
    virtual int disconnect(int reason) noexcept = 0;  // CTPSIM_ results
    virtual int reconnect() noexcept = 0;
    virtual void leave() noexcept = 0;
    virtual int heartbeat_warning(int time_lapse) noexcept = 0;
};

// The link of one kind of session (TraderSession, MdSession).
template <class Connected>
class Link final : public FrontLink {
public:
    // `ring`: the doors of the front's venue the library's registered
    // addresses reach, in order (0 for one that reaches none).
    Link(std::shared_ptr<Front> front, Endpoint &endpoint, std::vector<int> ring)
        : front(std::move(front)), session(endpoint) {
        session.ring = std::move(ring);
    }

    void connect() noexcept override {
        try {
            front->connect(session);
        } catch (...) {
            // The connect event was lost: to the client the front stays silent.
        }
    }
    int disconnect(int reason) noexcept override {
        try {
            return front->disconnect(session, reason);
        } catch (...) {
            return CTPSIM_NO_MEMORY;
        }
    }
    int reconnect() noexcept override {
        try {
            return front->reconnect(session);
        } catch (...) {
            return CTPSIM_NO_MEMORY;
        }
    }
    void leave() noexcept override { front->leave(session); }
    int heartbeat_warning(int time_lapse) noexcept override {
        try {
            return front->heartbeat_warning(session, time_lapse);
        } catch (...) {
            return CTPSIM_NO_MEMORY;
        }
    }

    // What Req* returns.
    template <class Record>
    int request(const Record &record, int id) noexcept {
        try {
            return front->request(session, record, id);
        } catch (...) {
            return -1;
        }
    }
    int subscribe(const std::vector<std::string> &ids, bool subscribe) noexcept {
        try {
            return front->subscribe(session, ids, subscribe);
        } catch (...) {
            return -1;
        }
    }

private:
    std::shared_ptr<Front> front;
    Connected session;
};

}  // namespace standin
