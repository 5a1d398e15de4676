#include "link.h"

#include "schedule.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <mutex>

namespace standin {

namespace {

// Fronts live as long as the process: a front keeps its orders and accounts
// when every session has gone, as a real one does until the trading day ends.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Front>, std::less<>> fronts;
};

Registry &registry() {
    static auto *instance = new Registry;  // never destroyed: API threads may outlive static destructors
    return *instance;
}

std::string_view front_name(std::string_view front) {
    if (front.starts_with("sim://"))
        front.remove_prefix(6);
    front = front.substr(0, front.find('?'));
    return front.substr(0, front.find('/'));
}

}  // namespace

std::optional<SimAddress> parse_sim_address(std::string_view address) noexcept try {
    if (!address.starts_with("sim://"))
        return std::nullopt;
    address.remove_prefix(6);
    SimAddress out;
    const auto question = address.find('?');
    std::string_view name = address.substr(0, question);
    if (const auto slash = name.find('/'); slash != std::string_view::npos) {
        const std::string_view door = name.substr(slash + 1);
        auto [end, error] = std::from_chars(door.data(), door.data() + door.size(), out.door);
        if (door.empty() || error != std::errc() || end != door.data() + door.size() || out.door < 1 ||
            out.door > max_door)
            return std::nullopt;
        name = name.substr(0, slash);
    }
    out.name = name;
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

std::shared_ptr<Front> find_front(std::string_view name) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.fronts.find(front_name(name));
    return found == r.fronts.end() ? nullptr : found->second;
}

std::shared_ptr<Front> reach_front(const SimAddress &address) noexcept try {
    Registry &r = registry();
    std::shared_ptr<Front> front;
    {
        std::lock_guard lock(r.mutex);
        if (auto found = r.fronts.find(address.name); found != r.fronts.end())
            front = found->second;
    }
    if (!front) {
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
        auto built = std::make_shared<Front>(*config, address.name);
        bool made = false;
        {
            std::lock_guard lock(r.mutex);
            // Another session may have set the name up meanwhile: it wins.
            auto [at, inserted] = r.fronts.try_emplace(address.name, std::move(built));
            front = at->second;
            made = inserted;
        }
        if (made && front->keeps_time())
            keep_on_time(front);
    }
    return front;
} catch (...) {
    return nullptr;
}

}  // namespace standin
