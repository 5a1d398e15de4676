// How an API object reaches a simulated front: front addresses, the
// process-wide set of venues, and the link between one API object and its venue.
#pragma once

#include "venue.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

class TraderApi;

// A simulated front address, sim://NAME or sim://NAME?config=PATH.
struct SimAddress {
    std::string name;
    std::string config;  // empty: the defaults
};
std::optional<SimAddress> parse_sim_address(std::string_view address) noexcept;

// The venue of a front name ("demo", "sim://demo" or "sim://demo?..."), or
// null when no session has reached it yet.
std::shared_ptr<Venue> find_venue(std::string_view front);

// One API object's connection to its venue. Created by Init, never destroyed
// (the API object outlives Release as a tombstone).
//
// Its callers are the client's threads and the control interface: nothing may
// escape into them. Only memory exhaustion throws behind these calls; what
// failed then is as if never sent.
class FrontLink {
public:
    // Reaches (creating it if needed) the venue of `address`; null when the
    // configuration cannot be read, which leaves the front unreachable.
    static std::unique_ptr<FrontLink> reach(TraderApi &api, const SimAddress &address) noexcept;

    FrontLink(TraderApi &api, std::shared_ptr<Venue> venue);
    FrontLink(const FrontLink &) = delete;
    FrontLink &operator=(const FrontLink &) = delete;

    void connect() noexcept;
    int disconnect(int reason) noexcept;  // CTPSIM_ results
    int reconnect() noexcept;
    void leave() noexcept { venue->leave(session); }

    // What Req* returns.
    template <class Record>
    int request(const Record &record, int id) noexcept {
        try {
            return venue->request(session, record, id);
        } catch (...) {
            return -1;
        }
    }

private:
    std::shared_ptr<Venue> venue;
    Session session;
};

}  // namespace standin
