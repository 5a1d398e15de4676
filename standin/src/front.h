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
class MdApi;

// A simulated front address, sim://NAME or sim://NAME?config=PATH.
struct SimAddress {
    std::string name;
    std::string config;  // empty: the defaults
};
std::optional<SimAddress> parse_sim_address(std::string_view address) noexcept;

// The venue of a front name ("demo", "sim://demo" or "sim://demo?..."), or
// null when no session has reached it yet.
std::shared_ptr<Venue> find_venue(std::string_view front);

// The venue of a simulated address, set up by the first session of either
// library to reach its name; null when its configuration cannot be read.
std::shared_ptr<Venue> reach_venue(const SimAddress &address) noexcept;

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

// One market-data API object's connection to its venue, as FrontLink.
class MdLink {
public:
    static std::unique_ptr<MdLink> reach(MdApi &api, const SimAddress &address) noexcept;

    MdLink(MdApi &api, std::shared_ptr<Venue> venue);
    MdLink(const MdLink &) = delete;
    MdLink &operator=(const MdLink &) = delete;

    void connect() noexcept;
    int disconnect(int reason) noexcept;
    int reconnect() noexcept;
    void leave() noexcept { venue->leave(session); }

    template <class Record>
    int request(const Record &record, int id) noexcept {
        try {
            return venue->request(session, record, id);
        } catch (...) {
            return -1;
        }
    }
    int subscribe(const std::vector<std::string> &ids, bool subscribe) noexcept {
        try {
            return venue->subscribe(session, ids, subscribe);
        } catch (...) {
            return -1;
        }
    }

private:
    std::shared_ptr<Venue> venue;
    MdSession session;
};

}  // namespace standin
