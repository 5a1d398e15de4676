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
    if (question == std::string_view::npos)
        return out;
    std::string_view query = address.substr(question + 1);
    // Without a replay, everything after config= is its path (a path may hold `&`).
    if (query.starts_with("config=") && query.find("&replay=") == std::string_view::npos) {
        out.config = query.substr(7);
        return out;
    }
    ReplaySetup replay;
    std::string error;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view option = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto equals = option.find('=');
        if (equals == std::string_view::npos) {
            error = "an option must be KEY=VALUE";
            break;
        }
        const std::string_view key = option.substr(0, equals);
        const std::string_view value = option.substr(equals + 1);
        if (key == "config")
            out.config = value;
        else if (!replay_option(replay, key, value, error))
            break;
    }
    if (error.empty() && replay.path.empty())
        error = "options other than config= need replay=";
    if (!error.empty()) {
        std::fprintf(stderr, "standin: sim://%s: %s\n", out.name.c_str(), error.c_str());
        return std::nullopt;
    }
    out.replay = std::move(replay);
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
        std::unique_ptr<Tape> tape;
        if (address.replay && !(tape = Tape::open(address.replay->path, error))) {
            std::fprintf(stderr, "standin: sim://%s: %s\n", address.name.c_str(), error.c_str());
            return nullptr;
        }
        // A replay's clock starts at its first tick (and its trading day with it).
        if (tape && !config->clock)
            if (const TapeRecord *first = tape->peek())
                if (const std::optional<Millis> at = tick_time(depth_of(*first))) {
                    config->clock = *at;
                    config->freeze_clock = true;
                }
        auto built = std::make_shared<Front>(*config, address.name);
        if (tape)
            built->replay_begin(*address.replay);  // before any session can see it
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
        if (made && tape)
            start_replay(front, std::move(tape), *address.replay);
    }
    return front;
} catch (...) {
    return nullptr;
}

}  // namespace standin
