#include "front.h"

#include "ctpsim.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace standin {

namespace {

// Venues live as long as the process: a front keeps its orders and accounts
// when every session has gone, as a real one does until the trading day ends.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Venue>, std::less<>> venues;
};

Registry &registry() {
    static auto *instance = new Registry;  // never destroyed: API threads may outlive static destructors
    return *instance;
}

std::string_view front_name(std::string_view front) {
    if (front.starts_with("sim://"))
        front.remove_prefix(6);
    return front.substr(0, front.find('?'));
}

}  // namespace

std::optional<SimAddress> parse_sim_address(std::string_view address) noexcept try {
    if (!address.starts_with("sim://"))
        return std::nullopt;
    address.remove_prefix(6);
    SimAddress out;
    const auto question = address.find('?');
    out.name = address.substr(0, question);
    if (out.name.empty())
        return std::nullopt;
    if (question != std::string_view::npos) {
        std::string_view query = address.substr(question + 1);
        if (!query.starts_with("config="))
            return std::nullopt;
        out.config = query.substr(7);
    }
    return out;
} catch (...) {
    return std::nullopt;  // out of memory: as unreachable as a wrong address
}

std::shared_ptr<Venue> find_venue(std::string_view front) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.venues.find(front_name(front));
    return found == r.venues.end() ? nullptr : found->second;
}

std::unique_ptr<FrontLink> FrontLink::reach(TraderApi &api, const SimAddress &address) noexcept try {
    Registry &r = registry();
    std::shared_ptr<Venue> venue;
    {
        std::lock_guard lock(r.mutex);
        if (auto found = r.venues.find(address.name); found != r.venues.end())
            venue = found->second;
    }
    if (!venue) {
        // The first session to reach a name sets it up; later ones share it,
        // whatever configuration they name. Read and built outside the
        // registry's lock: a slow file must not stall every other front.
        std::string error;
        std::optional<FrontConfig> config =
            address.config.empty() ? default_config() : load_config(address.config, error);
        if (!config) {
            std::fprintf(stderr, "standin: sim://%s: cannot use %s: %s\n", address.name.c_str(),
                         address.config.c_str(), error.c_str());
            return nullptr;
        }
        auto built = std::make_shared<Venue>(*config);
        std::lock_guard lock(r.mutex);
        // Another session may have set the name up meanwhile: it wins.
        venue = r.venues.try_emplace(address.name, std::move(built)).first->second;
    }
    return std::make_unique<FrontLink>(api, std::move(venue));
} catch (...) {
    return nullptr;
}

FrontLink::FrontLink(TraderApi &api, std::shared_ptr<Venue> v) : venue(std::move(v)), session(api) {}

void FrontLink::connect() noexcept {
    try {
        venue->connect(session);
    } catch (...) {
        // The connect event was lost: to the client the front stays silent.
    }
}

int FrontLink::disconnect(int reason) noexcept {
    try {
        return venue->disconnect(session, reason);
    } catch (...) {
        return CTPSIM_NO_MEMORY;
    }
}

int FrontLink::reconnect() noexcept {
    try {
        return venue->reconnect(session);
    } catch (...) {
        return CTPSIM_NO_MEMORY;
    }
}

}  // namespace standin
