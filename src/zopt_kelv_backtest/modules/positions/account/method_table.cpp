// The method table of Positions: one row per method, in class order.
#include "bodies.hpp"
#include "core/class_builder.hpp"

namespace zk {
namespace {

const char* const kAction = "Literal['Buy', 'Sell']";
const char* const kStatus = "Literal['Order', 'Deal', 'Cancel']";
const char* const kProduct = "Literal['Stock', 'Future']";
const char* const kDirection = "Literal['up', 'down']";

// Parameters shared by __make_trade_record and add_trade_record.
const std::vector<Param> kTradeRecordParams = {
    {"trade_id", "str", Check::Str},
    {"code", "str", Check::Str},
    {"action", kAction},
    {"quantity", "int", Check::Int},
    {"price", "float", Check::ToFloat},
    {"timestamp", "float", Check::ToFloat},
    {"trade_status", kStatus},
};
#define ZK_TRADE_RECORD_ARGS                                   \
    "Args:\n"                                                  \
    "    trade_id (str): 交易 ID\n"                              \
    "    code (str): 商品代號\n"                                  \
    "    action (Literal['Buy', 'Sell']): 買賣方向\n"             \
    "    quantity (int): 數量\n"                                  \
    "    price (float): 價格\n"                                   \
    "    timestamp (float): 時間戳\n"                             \
    "    trade_status (Literal['Order', 'Deal', 'Cancel']): 交易狀態"

const std::vector<Param> kReportParams = {
    {"code", "str", Check::Str},
    {"quote_manager", "QuoteManager"},
};

const std::vector<FunctionSpec> kMethods = {
    {"__init__", true, {}, nullptr, nullptr, "Position Module", pos_init},
    {"__init_account_info", true, {}, nullptr, nullptr, nullptr, pos_init_account_info},
    {"__generate_save_path", true, {{"file_name", "str", Check::Str, Def::None}}, "sub_folder", "str",
     "產生檔案儲存路徑\n\n"
     "Args:\n"
     "    file_name (str): 檔案名稱, 預設為 None, 為 None 時不會產生檔案名稱\n"
     "    *sub_folder (str): 子資料夾\n\n"
     "Returns:\n    str: 檔案儲存路徑",
     pos_generate_save_path},
    {"__make_trade_record", true, kTradeRecordParams, nullptr, "Dict[str, Any]",
     "建立交易紀錄\n\n" ZK_TRADE_RECORD_ARGS "\n\nReturns:\n    Dict[str, Any]: 交易紀錄",
     pos_make_trade_record},
    {"__apply_future_contract_value", true, {{"code", "str", Check::Str}}, nullptr, "float",
     "套用期貨合約價值\n\n"
     "Args:\n    code (str): 商品代號\n\n"
     "Returns:\n    float: 期貨合約價值",
     pos_apply_future_contract_value},
    {"__ceil_price_by_tick", true, {{"code", "str", Check::Str}, {"price", "float", Check::ToFloat}},
     nullptr, "tuple",
     "依照股票的價格區間, 將價格向上取整\n\n"
     "Args:\n    code (str): 商品代號\n    price (float): 價格\n\n"
     "Returns:\n    tuple: (升降單位, 取整後的價格)",
     pos_ceil_price_by_tick},
    {"__calculate_slippage_price", true,
     {{"code", "str", Check::Str},
      {"price", "float", Check::ToFloat},
      {"tick_count", "int", Check::Int},
      {"direction", kDirection}},
     nullptr, "float",
     "計算滑價後的價格\n\n"
     "Args:\n"
     "    code (str): 商品代號\n"
     "    price (float): 價格\n"
     "    tick_count (int): 要滑價多少個 Tick\n"
     "    direction (Literal['up', 'down']): 滑價方向\n\n"
     "Returns:\n    float: 滑價後的價格",
     pos_calculate_slippage_price},
    {"__calculate_trade_cost", true,
     {{"code", "str", Check::Str},
      {"action", kAction},
      {"price", "float", Check::ToFloat},
      {"quantity", "int", Check::Int},
      {"product_type", kProduct},
      {"ignore_tax", "bool", Check::Any, Def::False},
      {"is_cover", "bool", Check::Any, Def::True}},
     nullptr, "Dict[str, float]",
     "計算交易成本\n\n"
     "Args:\n"
     "    code (str): 商品代號\n"
     "    action (Literal['Buy', 'Sell']): 買賣方向\n"
     "    price (float): 價格\n"
     "    quantity (int): 數量\n"
     "    product_type (Literal['Stock', 'Future']): 商品類型\n"
     "    ignore_tax (bool): 是否忽略交易稅\n"
     "    is_cover (bool): 是否為平倉\n\n"
     "Returns:\n    Dict[str, float]: 交易成本",
     pos_calculate_trade_cost},
    {"__calculate_profit", true,
     {{"cover_position", "Dict[str, Any]", Check::Dict}, {"product_type", kProduct}}, nullptr,
     "Dict[str, Any]",
     "計算損益\n\n"
     "Args:\n"
     "    cover_position (Dict[str, Any]): 要平倉的部位\n"
     "    product_type (Literal['Stock', 'Future']): 商品類型\n\n"
     "Returns:\n    Dict[str, Any]: 平倉結果",
     pos_calculate_profit},
    {"__format_position_summary", true, {{"product_type", "str", Check::Str}}, nullptr,
     "List[Dict[str, Any]]",
     "格式化庫存資訊(總計)：股票或期貨\n\n"
     "Args:\n    product_type (str): 商品類型\n\n"
     "Returns:\n    List[Dict[str, Any]]: 庫存資訊(總計)",
     pos_format_position_summary},
    {"__format_position_detail", true, {{"product_type", "str", Check::Str}}, nullptr,
     "List[Dict[str, Any]]",
     "格式化庫存資訊(明細)：股票或期貨\n\n"
     "Args:\n    product_type (str): 商品類型\n\n"
     "Returns:\n    List[Dict[str, Any]]: 庫存資訊(明細)",
     pos_format_position_detail},
    {"fee_settings", true, {}, nullptr, "Dict[str, Any]", "取得手續費設定", pos_fee_settings},
    {"reset_fee_settings", true, {}, nullptr, nullptr, "重置手續費設定", pos_reset_fee_settings},
    {"update_fee_settings", true,
     {{"setting_type", "Literal['stock', 'future']"},
      {"action", "Literal['buy', 'sell']", Check::Any, Def::None},
      {"fee", "float", Check::Float, Def::None},
      {"tax", "float", Check::Float, Def::None},
      {"per_trade_cost", "int", Check::Int, Def::None},
      {"tick_count", "int", Check::Int, Def::None},
      {"direction", kDirection, Check::Any, Def::None}},
     nullptr, nullptr,
     "設定手續費設定\n\n"
     "Args:\n"
     "    setting_type (Literal['stock', 'future']): 商品類型\n"
     "    action (Literal['buy', 'sell']): 買賣方向\n"
     "    fee (float): 手續費率\n"
     "    tax (float): 交易稅率\n"
     "    per_trade_cost (int): 每筆交易成本\n"
     "    tick_count (int): 要滑價多少個 Tick\n"
     "    direction (Literal['up', 'down']): 滑價方向",
     pos_update_fee_settings},
    {"set_current_tick", true, {{"tick", "Dict[str, Any]", Check::Dict}}, nullptr, nullptr,
     "設定目前的 Tick 資訊\n\nArgs:\n    tick (Dict[str, Any]): Tick 資訊", pos_set_current_tick},
    {"add_trade_record", true, kTradeRecordParams, nullptr, nullptr,
     "加入交易紀錄\n\n" ZK_TRADE_RECORD_ARGS, pos_add_trade_record},
    {"set_positions", true, {{"trade", "dict", Check::Dict}, {"product_type", kProduct}}, nullptr, nullptr,
     "設定持有部位\n\n"
     "Args:\n"
     "    trade (dict): 交易紀錄\n"
     "    product_type (Literal['Stock', 'Future']): 商品類型",
     pos_set_positions},
    {"fetch_positions", true,
     {{"account_type", kProduct}, {"fetch_detail", "bool", Check::Any, Def::False}}, nullptr,
     "Dict[str, Any]",
     "取得持有部位\n\n"
     "Args:\n"
     "    account_type (Literal['Stock', 'Future']): 帳戶類型\n"
     "    fetch_detail (bool): 是否取得詳細的持有部位. Defaults to False.\n\n"
     "Returns:\n    Dict[str, Any]: 持有部位",
     pos_fetch_positions},
    {"add_positions_to_queue", true, {{"positions", "object"}}, nullptr, nullptr,
     "將持有部位加入 Queue\n\n"
     "Args:\n    positions (List[Dict[str, Any]] | Dict[str, Any]): 持有部位",
     pos_add_positions_to_queue},
    {"pop_positions", true, {}, nullptr, nullptr, "取得盤中未實現損益的請求", pos_pop_positions},
    {"add_finish_notify_to_queue", true, {}, nullptr, nullptr,
     "將盤中未實現損益計算完成的通知加入 Queue", pos_add_finish_notify_to_queue},
    {"pop_finish_notify", true, {}, nullptr, nullptr, "取得盤中未實現損益計算完成的通知",
     pos_pop_finish_notify},
    {"export_trade_records", true, {}, nullptr, nullptr, "匯出交易紀錄", pos_export_trade_records},
    {"get_profit_rows_by_code", true, {{"code", "str", Check::Str}}, nullptr, "List[Dict[str, Any]]",
     "回傳指定標的的損益報告\n\n"
     "Args:\n    code (str): 商品代號\n\n"
     "Returns:\n    List[Dict[str, Any]]: 損益報告",
     pos_get_profit_rows_by_code},
    {"generate_standard_report", true, kReportParams, nullptr, nullptr,
     "產生標準的 ZOPT 回測報告\n"
     "包含 K 線圖、損益報告、交易紀錄\n\n"
     "Args:\n    code (str): 商品代號\n    quote_manager (QuoteManager): QuoteManager 物件",
     pos_generate_standard_report},
    {"generate_qs_profit_report", true, kReportParams, nullptr, nullptr,
     "產生 QuantStats 的損益報告\n\n"
     "Args:\n    code (str): 商品代號\n    quote_manager (QuoteManager): QuoteManager 物件",
     pos_generate_qs_profit_report},
    {"set_initial_capital", true, {{"capital", "int", Check::Int}}, nullptr, nullptr,
     "設定初始資金\n\nArgs:\n    capital (int): 初始資金", pos_set_initial_capital},
    {"fetch_account_balance", true, {}, nullptr, nullptr, "取得帳戶餘額", pos_fetch_account_balance},
    {"fetch_margin", true, {}, nullptr, "float", "取得保證金\n\nReturns:\n    float: 保證金",
     pos_fetch_margin},
};

}  // namespace

py::object make_positions_class(py::handle module_name) {
    return build_class("Positions", nullptr, kMethods, module_name, "fee_settings");
}

}  // namespace zk
