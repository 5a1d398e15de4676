// The settlement statement (交易结算单) of a trading day, as the front sends
// it in CThostFtdcSettlementInfoField records. Compiled with
// -fexec-charset=GB18030: the text below reaches clients in the vendor's
// encoding.
#include "exchange.h"

#include <cstdarg>
#include <cstdio>

namespace standin {

namespace {

// printf into a string; the Chinese texts are GB18030, one column per byte
// in a monospaced font (a two-byte character is two columns wide).
[[gnu::format(printf, 2, 3)]] void add(std::string &out, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0)
        out.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
}

// Cents as yuan, exactly: "-1234.50".
std::string money(Cents amount) {
    const Cents whole = amount < 0 ? -amount : amount;
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", amount < 0 ? "-" : "", static_cast<long long>(whole / 100),
                  static_cast<long long>(whole % 100));
    return text;
}

std::string price(const Instrument &instrument, double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", instrument.decimals, value);
    return text;
}

const char *offset_name(char flag) {
    switch (flag) {
    case '0':
        return "开";
    case '3':
        return "平今";
    case '4':
        return "平昨";
    default:
        return "平";
    }
}

constexpr const char *rule =
    "----------------------------------------------------------------------------------------------------------------"
    "--\n";

// Whether a 500-byte record ends inside a two-byte character somewhere in
// the text: GB18030 has one-byte (ASCII), two-byte and four-byte characters.
bool splits_a_character(const std::string &text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::size_t length = 1;
        if (byte >= 0x81 && at + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[at + 1]);
            length = next >= 0x30 && next <= 0x39 ? 4 : 2;
        }
        if (length == 2 && (at + 1) % 500 == 0)
            return true;
        at += length;
    }
    return false;
}

}  // namespace

std::string Exchange::statement_text(const Account &account, std::string_view of, bool with_trades) const {
    auto find = [&](std::string_view id) -> const Instrument * {
        for (const auto &instrument : instruments_)
            if (instrument->setup.id == id)
                return instrument.get();
        return nullptr;
    };
    std::string body;
    const std::string &user = account.setup.user;
    add(body, "经纪公司 Broker：%-12s    客户号 Client ID：%-12s    客户名称 Client Name：%s\n",
        account.setup.broker.c_str(), user.c_str(), user.c_str());
    add(body, "交易日 Trading Day：%.*s    币种 Currency：人民币 CNY\n\n", static_cast<int>(of.size()), of.data());

    // The account: yesterday's balance carried forward by the day's money.
    const Cents in_out = with_trades ? account.deposit - account.withdraw : 0;
    const Cents closed = account.close_profit();
    const Cents marked = account.position_profit();
    const Cents fees = with_trades ? account.commission : 0;
    const Cents balance = account.pre_balance + in_out + closed + marked - fees;
    const Cents margin = account.curr_margin();
    add(body, "%51s资金状况 Account Summary\n%s", "", rule);
    add(body, "上日结存 Balance b/f：%22s    当日结存 Balance c/f：%22s\n", money(account.pre_balance).c_str(),
        money(balance).c_str());
    add(body, "出入金 Deposit/Withdrawal：%17s    客户权益 Client Equity：%20s\n", money(in_out).c_str(),
        money(balance).c_str());
    add(body, "平仓盈亏 Realized P/L：%21s    保证金占用 Margin Occupied：%16s\n", money(closed).c_str(),
        money(margin).c_str());
    add(body, "持仓盯市盈亏 MTM P/L：%22s    可用资金 Fund Avail.：%22s\n", money(marked).c_str(),
        money(balance - margin).c_str());
    add(body, "手续费 Commission：%25s    风险度 Risk Degree：%23.2f%%\n\n", money(fees).c_str(),
        balance > 0 ? 100.0 * static_cast<double>(margin) / static_cast<double>(balance) : 0.0);

    // The day's trades.
    add(body, "%51s成交记录 Transaction Record\n%s", "", rule);
    add(body, "|%-8s|%-6s|%-12s|%-5s|%-5s|%14s|%6s|%16s|%-4s|%12s|%14s|%-10s|\n", "成交日期", "交易所", "合约", "买/卖",
        "投/保", "成交价", "手数", "成交额", "开平", "手续费", "平仓盈亏", "成交序号");
    int lots = 0;
    Cents turnover = 0, commission = 0, profit = 0;
    if (with_trades) {
        for (const Fill &fill : account.trades) {
            const CThostFtdcTradeField &t = fill.record;
            const Instrument &instrument = *find(text(t.InstrumentID));
            const Cents amount = cents(t.Price * t.Volume * instrument.setup.multiple);
            add(body, "|%-8s|%-6s|%-12s|%-5s|%-5s|%14s|%6d|%16s|%-4s|%12s|%14s|%-10s|\n", t.TradeDate, t.ExchangeID,
                t.InstrumentID, t.Direction == '0' ? "买" : "卖", "投机", price(instrument, t.Price).c_str(), t.Volume,
                money(amount).c_str(), offset_name(t.OffsetFlag), money(fill.commission).c_str(),
                money(fill.close_profit).c_str(), t.TradeID);
            lots += t.Volume;
            turnover += amount;
            commission += fill.commission;
            profit += fill.close_profit;
        }
    }
    add(body, "|%-8s|%-6s|%-12s|%-5s|%-5s|%14s|%6d|%16s|%-4s|%12s|%14s|%-10s|\n%s", "共", "", "", "", "", "", lots,
        money(turnover).c_str(), "", money(commission).c_str(), money(profit).c_str(), "", rule);
    add(body, "\n");

    // What is open: each lot, then each instrument and side.
    add(body, "%51s持仓明细 Positions Detail\n%s", "", rule);
    add(body, "|%-6s|%-12s|%-8s|%-5s|%-5s|%6s|%12s|%12s|%12s|%14s|%14s|%14s|%-10s|\n", "交易所", "合约", "开仓日期",
        "买/卖", "投/保", "持仓量", "开仓价", "昨结算", "结算价", "浮动盈亏", "盯市盈亏", "保证金", "成交序号");
    for (const auto &[key, position] : account.positions) {
        const Instrument &instrument = *position.instrument;
        for (bool today : {false, true})
            for (const Detail &detail : position.details(today)) {
                if (detail.volume == 0)
                    continue;
                add(body, "|%-6s|%-12s|%-8s|%-5s|%-5s|%6d|%12s|%12s|%12s|%14s|%14s|%14s|%-10s|\n",
                    instrument.setup.exchange.c_str(), instrument.setup.id.c_str(), detail.open_date,
                    position.direction == '2' ? "买" : "卖", "投机", detail.volume,
                    price(instrument, detail.open_price).c_str(), price(instrument, instrument.settlement_price()).c_str(),
                    price(instrument, instrument.mark()).c_str(), money(position.profit_by_trade(detail)).c_str(),
                    money(position.profit_by_date(detail, today)).c_str(),
                    money(position.margin(detail, today)).c_str(), detail.trade_id);
            }
    }
    add(body, "%s\n", rule);
    add(body, "%51s持仓汇总 Positions\n%s", "", rule);
    add(body, "|%-12s|%-5s|%8s|%14s|%12s|%12s|%14s|%14s|\n", "合约", "买/卖", "持仓量", "开仓均价", "昨结算", "结算价",
        "盯市盈亏", "保证金占用");
    for (const auto &[key, position] : account.positions) {
        const Instrument &instrument = *position.instrument;
        const int volume = position.yd_volume() + position.today_volume();
        if (volume == 0)
            continue;
        double opened = 0;
        for (bool today : {false, true})
            for (const Detail &detail : position.details(today))
                opened += detail.open_price * detail.volume;
        char average[48];
        std::snprintf(average, sizeof average, "%.3f", opened / volume);
        add(body, "|%-12s|%-5s|%8d|%14s|%12s|%12s|%14s|%14s|\n", instrument.setup.id.c_str(),
            position.direction == '2' ? "买" : "卖", volume, average,
            price(instrument, instrument.settlement_price()).c_str(), price(instrument, instrument.mark()).c_str(),
            money(position.profit(true) + position.profit(false)).c_str(),
            money(position.margin(true) + position.margin(false)).c_str());
    }
    add(body, "%s\n", rule);
    add(body, "本结算单由模拟柜台生成，仅供测试。 This statement comes from a simulated front, for testing only.\n");

    // The title is centred by spaces; one more or less moves every later
    // byte, until a record boundary falls inside a two-byte character, as it
    // does in most real statements (clients must join the records before
    // decoding them).
    std::string text;
    // As the pad grows, the first boundary sweeps the body's first 500 bytes,
    // whose header and account lines are mostly Chinese: it soon splits one.
    for (int pad = 0; pad < 500; ++pad) {
        text.assign(static_cast<std::size_t>(40 + pad), ' ');
        text += "交易结算单(盯市) Settlement Statement (MTM)\n";
        text += body;
        if (splits_a_character(text))
            break;
    }
    return text;
}

}  // namespace standin
