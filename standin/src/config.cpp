// Reading a simulated front's configuration file.
#include "config.h"

#include <iconv.h>

#include <charconv>
#include <cmath>
#include <fstream>
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
            if (!(setup.price > 0) || !(setup.tick > 0))
                return "instrument " + setup.id + " needs a positive price and tick";
            const double ticks = setup.price / setup.tick;
            if (std::fabs(ticks - std::round(ticks)) > 1e-6)
                return "instrument " + setup.id + ": price is not a multiple of tick";
            if (setup.multiple <= 0 || setup.min_volume <= 0 || setup.max_volume < setup.min_volume)
                return "instrument " + setup.id + ": bad multiple or order volume limits";
            if (setup.market_levels < 0 || setup.market_volume < 0 || setup.limit_ratio <= 0)
                return "instrument " + setup.id + ": bad market or price band";
        }
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
            for (const auto &position : setup.positions)
                if (!ids.count(position.instrument))
                    return "investor " + setup.user + " holds unknown instrument " + position.instrument;
        }
        if (config.trading_day.size() != 8 && !config.trading_day.empty())
            return "trading_day must be YYYYMMDD";
        return {};
    }

private:
    enum class Section { front, investor, instrument };

    std::string section(std::string_view text) {
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
    std::string text(std::string &out, std::size_t max) {
        if (value.size() > max)
            return std::string(key) + " is longer than " + std::to_string(max) + " bytes";
        out = value;
        return {};
    }

    std::string front_key() {
        if (key == "front_id")
            return number(config.front_id) ? std::string() : bad();
        if (key == "trading_day")
            return text(config.trading_day, 8);
        return "unknown key " + std::string(key);
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
            return number(setup.balance) ? std::string() : bad();
        if (key == "deposit")
            return number(setup.deposit) ? std::string() : bad();
        if (key == "withdraw")
            return number(setup.withdraw) ? std::string() : bad();
        if (key == "position") {
            // position = INSTRUMENT long|short VOLUME
            std::istringstream words{std::string(value)};
            YesterdayPosition position;
            std::string direction;
            if (!(words >> position.instrument >> direction >> position.volume) || position.volume <= 0 ||
                (direction != "long" && direction != "short"))
                return "position must read: INSTRUMENT long|short VOLUME";
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
            return number(setup.price) ? std::string() : bad();
        if (key == "tick")
            return number(setup.tick) ? std::string() : bad();
        if (key == "multiple")
            return number(setup.multiple) ? std::string() : bad();
        if (key == "margin") {
            if (!number(setup.long_margin) || setup.long_margin < 0)
                return bad();
            setup.short_margin = setup.long_margin;
            return {};
        }
        if (key == "long_margin")
            return number(setup.long_margin) && setup.long_margin >= 0 ? std::string() : bad();
        if (key == "short_margin")
            return number(setup.short_margin) && setup.short_margin >= 0 ? std::string() : bad();
        if (key == "commission_rate")
            return number(setup.commission_rate) && setup.commission_rate >= 0 ? std::string() : bad();
        if (key == "commission_per_lot")
            return number(setup.commission_per_lot) && setup.commission_per_lot >= 0 ? std::string() : bad();
        if (key == "min_volume")
            return number(setup.min_volume) ? std::string() : bad();
        if (key == "max_volume")
            return number(setup.max_volume) ? std::string() : bad();
        if (key == "trading") {
            int flag = 0;
            if (!number(flag) || (flag != 0 && flag != 1))
                return bad();
            setup.trading = flag == 1;
            return {};
        }
        if (key == "limit_ratio")
            return number(setup.limit_ratio) ? std::string() : bad();
        if (key == "market_levels")
            return number(setup.market_levels) ? std::string() : bad();
        if (key == "market_volume")
            return number(setup.market_volume) ? std::string() : bad();
        if (key == "delivery") {
            int yyyymm = 0;
            if (!number(yyyymm) || yyyymm < 100001 || yyyymm % 100 < 1 || yyyymm % 100 > 12)
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
    std::string_view key;
    std::string_view value;
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
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the file";
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_config(text.str(), error);
}

}  // namespace standin
