// The simulated front's built-in investors and instruments (documented in
// standin/README.md). Compiled with -fexec-charset=GB18030: the instrument
// names below reach clients in the vendor's encoding.
#include "config.h"

#include <string_view>
#include <utility>

namespace standin {

namespace {

InstrumentSetup future(const char *id, const char *exchange, const char *name, const char *product, double price,
                      double tick, int multiple, double margin, double rate, double per_lot, int year, int month,
                      const char *night) {
    InstrumentSetup setup;
    setup.id = id;
    setup.exchange = exchange;
    setup.name = name;
    setup.product = product;
    setup.price = price;
    setup.tick = tick;
    setup.multiple = multiple;
    setup.long_margin = {margin, 0};
    setup.short_margin = {margin, 0};
    setup.open_commission = setup.close_commission = setup.close_today_commission = {rate, per_lot};
    setup.delivery_year = year;
    setup.delivery_month = month;
    // Under the exchange calendar: the night session, if any, then the usual day sessions.
    std::string error;
    setup.sessions = *parse_sessions(std::string(night) + " 09:00-10:15 10:30-11:30 13:30-15:00", error);
    return setup;
}

InvestorSetup investor(const char *user, const char *password) {
    InvestorSetup setup;
    setup.broker = "9999";
    setup.user = user;
    setup.password = password;
    setup.app_id = "standin_client_1.0";
    setup.auth_code = "0000000000000000";
    setup.balance = 1000000;
    return setup;
}

}  // namespace

FrontConfig default_config() {
    FrontConfig config;
    config.investors.push_back(investor("000001", "123456"));
    config.investors.back().positions.push_back({"rb2705", '2', 2});
    config.investors.push_back(investor("000002", "123456"));

    auto &list = config.instruments;
    // id, exchange, name, product, reference price, tick, multiple, margin ratio,
    // commission by turnover, commission per lot, delivery year and month, night session
    list.push_back(future("rb2705", "SHFE", "螺纹钢2705", "rb", 3100, 1, 10, 0.10, 0.0001, 0, 2027, 5, "21:00-23:00"));
    list.push_back(future("au2706", "SHFE", "黄金2706", "au", 780, 0.02, 1000, 0.08, 0, 10, 2027, 6, "21:00-02:30"));
    list.push_back(future("cu2702", "SHFE", "沪铜2702", "cu", 78000, 10, 5, 0.10, 0.00005, 0, 2027, 2, "21:00-01:00"));
    list.push_back(future("m2705", "DCE", "豆粕2705", "m", 3000, 1, 10, 0.08, 0, 1.5, 2027, 5, "21:00-23:00"));
    list.push_back(future("i2705", "DCE", "铁矿石2705", "i", 700, 0.5, 100, 0.12, 0.0001, 0, 2027, 5, "21:00-23:00"));
    list.push_back(future("SR705", "CZCE", "白糖705", "SR", 5800, 1, 10, 0.08, 0, 3, 2027, 5, "21:00-23:00"));
    list.push_back(future("TA705", "CZCE", "PTA705", "TA", 4800, 2, 5, 0.08, 0, 3, 2027, 5, "21:00-23:00"));
    list.push_back(future("IF2703", "CFFEX", "沪深300股指2703", "IF", 3900, 0.2, 300, 0.12, 0.000023, 0, 2027, 3, ""));
    list.push_back(future("T2703", "CFFEX", "十年期国债2703", "T", 108.5, 0.005, 10000, 0.02, 0, 3, 2027, 3, ""));
    list.push_back(future("sc2703", "INE", "原油2703", "sc", 520, 0.1, 1000, 0.10, 0, 20, 2027, 3, "21:00-02:30"));
    list.push_back(future("si2705", "GFEX", "工业硅2705", "si", 8500, 5, 5, 0.09, 0.0001, 0, 2027, 5, ""));
    list.push_back(future("lc2705", "GFEX", "碳酸锂2705", "lc", 66000, 20, 1, 0.09, 0.00008, 0, 2027, 5, ""));
    // Index futures trade in small orders, as on their exchange; gold's
    // close of today's lots is free, an index future's costs 15 times an open.
    list[7].max_volume = 20;
    list[1].close_today_commission = {0, 0};
    list[7].close_today_commission = {0.000345, 0};
    // The financial futures' day sessions.
    std::string error;
    list[7].sessions = *parse_sessions("09:30-11:30 13:00-15:00", error);
    list[8].sessions = *parse_sessions("09:30-11:30 13:00-15:15", error);
    return config;
}

std::string exchange_name(std::string_view id) {
    static constexpr std::pair<std::string_view, const char *> names[] = {
        {"SHFE", "上海期货交易所"},       {"DCE", "大连商品交易所"},   {"CZCE", "郑州商品交易所"},
        {"CFFEX", "中国金融期货交易所"}, {"INE", "上海国际能源交易中心"}, {"GFEX", "广州期货交易所"},
    };
    for (const auto &[known, name] : names)
        if (known == id)
            return name;
    return std::string(id);
}

}  // namespace standin
