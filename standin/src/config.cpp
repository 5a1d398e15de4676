// Reading a simulated front's configuration file.
#include "config.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace standin {

namespace {

std::string_view trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

// Instrument names are written in UTF-8 and sent in the vendor's GB18030.
std::optional<std::string> to_gb18030(std::string_view utf8) {
    iconv_t cd = ::iconv_open("GB18030", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::unique_ptr<void, int (*)(iconv_t)> closer(cd, ::iconv_close);
    std::string in(utf8);
    std::string out(in.size() * 4 + 4, '\0');
    char *src = in.data();
    char *dst = out.data();
    std::size_t src_left = in.size();
    std::size_t dst_left = out.size();
    if (::iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - dst_left);
    return out;
}

// Whether text is YYYYMMDD naming a real day of the Gregorian calendar.
bool calendar_date(std::string_view text) { return parse_date(text).has_value(); }

// Keys that set several rates at once, and the keys of the rates they set:
// given together, one of them would silently win.
struct Shorthand {
    const char *key;
    const char *parts[3];
};
constexpr Shorthand shorthands[] = {
    {"margin", {"long_margin", "short_margin"}},
    {"margin_per_lot", {"long_margin_per_lot", "short_margin_per_lot"}},
    {"commission_rate", {"open_commission_rate", "close_commission_rate", "close_today_commission_rate"}},
    {"commission_per_lot", {"open_commission_per_lot", "close_commission_per_lot", "close_today_commission_per_lot"}},
};

// One `key = value` line at a time, into the section being read.
class Parser {
public:
    explicit Parser(FrontConfig &out) : config(out) {}

    // Empty when the line was understood, else what is wrong with it.
    std::string line(std::string_view text) {
        if (auto hash = text.find('#'); hash != std::string_view::npos)
            text = text.substr(0, hash);
        text = trim(text);
        if (text.empty())
            return {};
        if (text.front() == '[')
            return section(text);
        auto equals = text.find('=');
        if (equals == std::string_view::npos)
            return "expected key = value";
        key = trim(text.substr(0, equals));
        value = trim(text.substr(equals + 1));
        if (value.empty())
            return "no value for " + std::string(key);
        // Only position lines repeat; any other key given twice in one
        // section is a mistake, not an override.
        if (key != "position" && !seen.emplace(key).second)
            return std::string(key) + " is given twice";
        switch (current) {
        case Section::front:
            return front_key();
        case Section::investor:
            return investor_key();
        case Section::instrument:
            return instrument_key();
        }
        return {};
    }

    // Checks that need the whole file.
    std::string finish() {
        std::set<std::string> ids;
        for (const auto &setup : config.instruments) {
            if (setup.id.empty() || setup.exchange.empty())
                return "an instrument needs id and exchange";
            if (!ids.insert(setup.id).second)
                return "instrument " + setup.id + " appears twice";
            if (!(setup.price > 0))
                return "instrument " + setup.id + " needs a positive price";
            const double ticks = setup.price / setup.tick;
            if (ticks > bounds::max_price_ticks)
                return "instrument " + setup.id + ": price is more than 1e9 ticks";
            if (std::fabs(ticks - std::round(ticks)) > 1e-6)
                return "instrument " + setup.id + ": price is not a multiple of tick";
            if (setup.max_volume < setup.min_volume)
                return "instrument " + setup.id + ": max_volume is below min_volume";
            if (setup.price * setup.multiple > bounds::max_contract_value)
                return "instrument " + setup.id + ": price * multiple is more than 1e9";
        }
        if (!config.exchange_calendar && sessions_given)
            return "instrument " + config.instruments[*sessions_given].id + ": sessions need calendar = exchange";
        if (config.exchange_calendar && !config.trading_day.empty())
            return "trading_day cannot be given with calendar = exchange: the clock sets the trading day";
        // The built-in investors keep only what they hold of the instruments given.
        if (!investors_given)
            for (auto &setup : config.investors)
                std::erase_if(setup.positions, [&](const YesterdayPosition &p) { return !ids.count(p.instrument); });
        std::set<std::pair<std::string, std::string>> users;
        for (const auto &setup : config.investors) {
            if (setup.broker.empty() || setup.user.empty() || setup.password.empty())
                return "an investor needs broker, user and password";
            if (!users.insert({setup.broker, setup.user}).second)
                return "investor " + setup.user + " appears twice";
            std::map<std::pair<std::string, char>, long long> held;
            for (const auto &position : setup.positions) {
                if (!ids.count(position.instrument))
                    return "investor " + setup.user + " holds unknown instrument " + position.instrument;
                if ((held[{position.instrument, position.direction}] += position.volume) > bounds::max_position)
                    return "investor " + setup.user + " holds more than 1000000 lots of " + position.instrument +
                           " on one side";
            }
        }
        return {};
    }

private:
    enum class Section { front, investor, instrument };

    std::string section(std::string_view text) {
        seen.clear();
        if (text == "[investor]") {
            // The first section of a kind replaces the defaults of that kind.
            if (!investors_given)
                config.investors.clear();
            investors_given = true;
            config.investors.emplace_back();
            current = Section::investor;
            return {};
        }
        if (text == "[instrument]") {
            if (!instruments_given)
                config.instruments.clear();
            instruments_given = true;
            config.instruments.emplace_back();
            current = Section::instrument;
            return {};
        }
        return "unknown section " + std::string(text);
    }

    bool number(double &out) {
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
        return error == std::errc() && end == value.data() + value.size() && std::isfinite(out);
    }
    bool number(int &out) {
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
        return error == std::errc() && end == value.data() + value.size();
    }
    std::string bad() { return "bad value for " + std::string(key); }
    // A number between low and high, both included.
    template <class Number>
    std::string within(Number &out, Number low, Number high) {
        Number read{};
        if (!number(read))
            return bad();
        if (!(read >= low && read <= high)) {
            std::ostringstream range;
            range << std::string(key) << " must be between " << low << " and " << high;
            return range.str();
        }
        out = read;
        return {};
    }
    std::string text(std::string &out, std::size_t max) {
        if (value.size() > max)
            return std::string(key) + " is longer than " + std::to_string(max) + " bytes";
        out = value;
        return {};
    }

    std::string front_key() {
        if (key == "front_id")
            return within(config.front_id, 1, bounds::max_int);
        if (key == "trading_day") {
            if (!calendar_date(value))
                return "trading_day must be a real date, YYYYMMDD";
            config.trading_day = value;
            return {};
        }
        if (key == "calendar") {
            if (value != "continuous" && value != "exchange")
                return "calendar must be continuous or exchange";
            config.exchange_calendar = value == "exchange";
            return {};
        }
        if (key == "clock") {
            config.clock = parse_civil(value);
            return config.clock ? std::string() : "clock must read YYYYMMDD HH:MM:SS";
        }
        if (key == "freeze_clock") {
            int flag = 0;
            if (!number(flag) || (flag != 0 && flag != 1))
                return bad();
            config.freeze_clock = flag == 1;
            return {};
        }
        // The front's behaviour, with the keys and values of ctpsim_behave.
        return behave(config.behaviour, key, value);
    }

    std::string investor_key() {
        InvestorSetup &setup = config.investors.back();
        if (key == "broker")
            return text(setup.broker, 10);
        if (key == "user")
            return text(setup.user, 12);
        if (key == "password")
            return text(setup.password, 40);
        if (key == "app_id")
            return text(setup.app_id, 32);
        if (key == "auth_code")
            return text(setup.auth_code, 16);
        if (key == "balance")
            return within(setup.balance, 0.0, bounds::max_money);
        if (key == "deposit")
            return within(setup.deposit, 0.0, bounds::max_money);
        if (key == "withdraw")
            return within(setup.withdraw, 0.0, bounds::max_money);
        if (key == "position") {
            // position = INSTRUMENT long|short VOLUME [PRICE]
            std::istringstream words{std::string(value)};
            YesterdayPosition position;
            std::string direction;
            std::string price;
            std::string rest;
            if (!(words >> position.instrument >> direction >> position.volume) || (words >> price >> rest) ||
                position.volume <= 0 || (direction != "long" && direction != "short"))
                return "position must read: INSTRUMENT long|short VOLUME [PRICE]";
            if (position.volume > bounds::max_position)
                return "position volume must be between 1 and 1000000";
            if (!price.empty()) {
                auto [end, error] = std::from_chars(price.data(), price.data() + price.size(), position.price);
                if (error != std::errc() || end != price.data() + price.size())
                    return "position must read: INSTRUMENT long|short VOLUME [PRICE]";
                if (!(position.price > 0) || position.price > bounds::max_price)
                    return "position price must be above 0 and at most 1e9";
            }
            position.direction = direction == "long" ? '2' : '3';
            setup.positions.push_back(position);
            return {};
        }
        return "unknown key " + std::string(key);
    }

    std::string instrument_key() {
        InstrumentSetup &setup = config.instruments.back();
        if (key == "id")
            return text(setup.id, 30);
        if (key == "exchange")
            return text(setup.exchange, 8);
        if (key == "product")
            return text(setup.product, 30);
        if (key == "name") {
            auto name = to_gb18030(value);
            if (!name || name->size() > 20)
                return "name must be UTF-8 of at most 20 bytes in GB18030";
            setup.name = *name;
            return {};
        }
        if (key == "price")
            return within(setup.price, 0.0, bounds::max_price);
        if (key == "tick")
            return within(setup.tick, bounds::min_tick, bounds::max_tick);
        if (key == "multiple")
            return within(setup.multiple, 1, bounds::max_multiple);
        for (const Shorthand &shorthand : shorthands) {
            const bool part = std::ranges::any_of(shorthand.parts, [&](const char *p) { return p && key == p; });
            if (key != shorthand.key && !part)
                continue;
            if (seen.count(shorthand.key) &&
                std::ranges::any_of(shorthand.parts, [&](const char *p) { return p && seen.count(p); })) {
                std::string parts;
                for (const char *p : shorthand.parts)
                    if (p)
                        parts += std::string(parts.empty() ? "" : ", ") + p;
                if (auto comma = parts.rfind(", "); comma != std::string::npos)
                    parts.replace(comma, 2, " or ");
                return std::string(shorthand.key) + " cannot be given with " + parts;
            }
        }
        // Margin by money (ratios), by volume (per lot); commission likewise,
        // of opens, closes (of yesterday's lots) and closes of today's lots.
        const struct {
            const char *key;
            std::vector<double *> rates;
            double max;
        } rates[] = {
            {"margin", {&setup.long_margin.by_money, &setup.short_margin.by_money}, 1.0},
            {"long_margin", {&setup.long_margin.by_money}, 1.0},
            {"short_margin", {&setup.short_margin.by_money}, 1.0},
            {"margin_per_lot", {&setup.long_margin.by_volume, &setup.short_margin.by_volume}, bounds::max_per_lot},
            {"long_margin_per_lot", {&setup.long_margin.by_volume}, bounds::max_per_lot},
            {"short_margin_per_lot", {&setup.short_margin.by_volume}, bounds::max_per_lot},
            {"commission_rate",
             {&setup.open_commission.by_money, &setup.close_commission.by_money,
              &setup.close_today_commission.by_money},
             1.0},
            {"open_commission_rate", {&setup.open_commission.by_money}, 1.0},
            {"close_commission_rate", {&setup.close_commission.by_money}, 1.0},
            {"close_today_commission_rate", {&setup.close_today_commission.by_money}, 1.0},
            {"commission_per_lot",
             {&setup.open_commission.by_volume, &setup.close_commission.by_volume,
              &setup.close_today_commission.by_volume},
             bounds::max_per_lot},
            {"open_commission_per_lot", {&setup.open_commission.by_volume}, bounds::max_per_lot},
            {"close_commission_per_lot", {&setup.close_commission.by_volume}, bounds::max_per_lot},
            {"close_today_commission_per_lot", {&setup.close_today_commission.by_volume}, bounds::max_per_lot},
        };
        for (const auto &rate : rates) {
            if (key != rate.key)
                continue;
            double read = 0;
            if (auto problem = within(read, 0.0, rate.max); !problem.empty())
                return problem;
            for (double *target : rate.rates)
                *target = read;
            return {};
        }
        if (key == "sessions") {
            std::string problem;
            auto sessions = parse_sessions(value, problem);
            if (!sessions)
                return problem;
            setup.sessions = std::move(*sessions);
            if (!sessions_given)
                sessions_given = config.instruments.size() - 1;
            return {};
        }
        if (key == "min_volume")
            return within(setup.min_volume, 1, bounds::max_volume);
        if (key == "max_volume")
            return within(setup.max_volume, 1, bounds::max_volume);
        if (key == "trading") {
            int flag = 0;
            if (!number(flag) || (flag != 0 && flag != 1))
                return bad();
            setup.trading = flag == 1;
            return {};
        }
        if (key == "limit_ratio") {
            if (auto problem = within(setup.limit_ratio, 0.0, 1.0); !problem.empty())
                return problem;
            return setup.limit_ratio > 0 ? std::string() : "limit_ratio must be above 0";
        }
        if (key == "market_levels")
            return within(setup.market_levels, 0, bounds::max_market_levels);
        if (key == "market_volume")
            return within(setup.market_volume, 0, bounds::max_volume);
        if (key == "delivery") {
            int yyyymm = 0;
            if (!number(yyyymm) || yyyymm < 100001 || yyyymm > 999912 || yyyymm % 100 < 1 || yyyymm % 100 > 12)
                return "delivery must read YYYYMM";
            setup.delivery_year = yyyymm / 100;
            setup.delivery_month = yyyymm % 100;
            return {};
        }
        return "unknown key " + std::string(key);
    }

    FrontConfig &config;
    Section current = Section::front;
    bool investors_given = false;
    bool instruments_given = false;
    std::optional<std::size_t> sessions_given;  // the first instrument given sessions
    std::string_view key;
    std::string_view value;
    std::set<std::string, std::less<>> seen;  // keys of the section being read
};

}  // namespace

std::optional<FrontConfig> parse_config(std::string_view text, std::string &error) {
    FrontConfig config = default_config();
    Parser parser(config);
    int number = 0;
    while (!text.empty()) {
        ++number;
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (auto problem = parser.line(line); !problem.empty()) {
            error = "line " + std::to_string(number) + ": " + problem;
            return std::nullopt;
        }
    }
    if (auto problem = parser.finish(); !problem.empty()) {
        error = problem;
        return std::nullopt;
    }
    return config;
}

std::optional<FrontConfig> load_config(const std::string &path, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::string("cannot open the file: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::unique_ptr<const int, void (*)(const int *)> closer(&fd, [](const int *f) { ::close(*f); });
    // Only a regular file: a directory reads as nothing, a device or a pipe
    // may never end.
    struct stat about {};
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::string("cannot read the file: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0)
            break;
        // Checked while reading: the file may grow after fstat.
        if (text.size() + static_cast<std::size_t>(n) > bounds::max_file_size) {
            error = "the file is larger than 1 MiB";
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return parse_config(text, error);
}

}  // namespace standin
