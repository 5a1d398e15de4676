// Compiled with -fexec-charset=GB18030 (see CMakeLists.txt): the string
// literals below are stored in the vendor's encoding.
#include "messages.h"

namespace standin {

namespace {

struct Entry {
    Error error;
    int id;
    const char *text;
};

// The table of standin/README.md, "Error records".
constexpr Entry entries[] = {
    {Error::none, 0, ""},
    {Error::not_logged_in, 3, "尚未登录，请先认证并登录"},
    {Error::already_logged_in, 4, "本会话已经登录"},
    {Error::investor_mismatch, 7, "经纪公司或投资者代码与登录用户不符"},
    {Error::auth_failed, 15, "客户端认证失败：AppID 或授权码不正确"},
    {Error::unknown_instrument, 16, "找不到该合约"},
    {Error::not_trading, 17, "合约当前不可交易"},
    {Error::front_not_ready, 8, "前置尚未就绪，请稍后再登录"},
    {Error::not_authenticated, 21, "请先完成客户端认证"},
    {Error::bad_order_ref, 22, "报单引用须为数字且大于本会话已用的最大引用"},
    {Error::bad_price_type, 23, "只支持限价报单"},
    {Error::bad_direction, 23, "买卖方向不合法"},
    {Error::bad_offset, 23, "开平标志不合法"},
    {Error::bad_hedge, 23, "只支持投机套保标志"},
    {Error::bad_time_condition, 23, "有效期类型只支持当日有效或立即完成"},
    {Error::bad_volume_condition, 23, "成交量类型不合法"},
    {Error::bad_contingent_condition, 23, "只支持立即触发的报单"},
    {Error::bad_force_close, 23, "不接受强平报单"},
    {Error::bad_tick, 24, "报单价格不是最小变动价位的整数倍"},
    {Error::bad_price, 24, "报单价格必须大于零"},
    {Error::order_not_found, 25, "撤单找不到相应的报单"},
    {Error::order_finished, 26, "报单已全部成交或已撤销，不能再撤"},
    {Error::out_of_band, 27, "报单价格超出涨跌停板"},
    {Error::action_unsupported, 28, "只支持撤单操作"},
    {Error::bad_volume, 30, "报单数量超出合约允许的范围"},
    {Error::insufficient_funds, 31, "可用资金不足"},
    {Error::not_confirmed, 42, "结算结果尚未确认，不能报单"},
    {Error::not_enough_position, 50, "可平仓位不足"},
    {Error::bad_password, 60, "用户名或密码错误"},
    {Error::self_trade, 70, "报单会与本账户的挂单成交，已拒绝"},
    {Error::not_continuous, 75, "合约当前不在连续交易时段，不能报单"},
    {Error::wrong_old_password, 61, "原口令不匹配"},
    {Error::empty_new_password, 62, "新口令不能为空"},
    {Error::unsupported, 80, "模拟前置暂不支持此请求"},
};

const Entry &entry(Error error) {
    for (const auto &e : entries)
        if (e.error == error)
            return e;
    return entries[0];
}

}  // namespace

int error_id(Error error) { return entry(error).id; }

const char *error_text(Error error) { return entry(error).text; }

namespace status_text {
const char *const submitted = "报单已提交";
const char *const queued = "未成交";
const char *const part_traded = "部分成交";
const char *const all_traded = "全部成交";
const char *const cancelled = "已撤单";
const char *const ioc_rest = "立即完成报单的剩余数量已撤单";
const char *const fok_unfilled = "不能全部成交，报单已撤销";
const char *const day_ended = "交易日结束，报单已撤销";
}  // namespace status_text

}  // namespace standin
