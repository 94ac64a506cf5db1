// The method table of QuoteManager: one row per method, in class order.
#include "bodies.hpp"
#include "core/class_builder.hpp"

namespace zk {
namespace {

const char* const kUnit = "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']";

const std::vector<FunctionSpec> kMethods = {
    {"__init__", true, {}, nullptr, nullptr, nullptr, qm_init},
    {"get_init_ticks_info", true, {}, nullptr, nullptr, "取得 ticks 的初始資訊", qm_get_init_ticks_info},
    {"get_empty_tick_df", true, {}, nullptr, "pl.DataFrame", "取得空的 Tick DataFrame", qm_get_empty_tick_df},
    {"clear_ticks", true, {}, nullptr, nullptr, "清空 ticks", qm_clear_ticks},
    {"add_tick", true, {{"tick", "Dict[str, Any]", Check::Dict}}, nullptr, nullptr,
     "將 Tick 資料加入到 ticks 中\n\n"
     "Args:\n    tick (Dict[str, Any]): Tick 資料",
     qm_add_tick},
    {"aggregate_kbar", true, {{"tick_df", "pl.DataFrame"}}, nullptr, "pl.DataFrame",
     "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)\n\n"
     "Args:\n    tick_df (pl.DataFrame): Tick 資料，必須包含 kbar_time 欄\n\n"
     "Returns:\n    pl.DataFrame: 聚合後的 K 棒資料",
     qm_aggregate_kbar},
    {"poped_tick_to_df", true, {{"code", "str", Check::Str}}, nullptr, "pl.DataFrame",
     "將 ticks 中的資料轉換為 DataFrame 並清空 ticks\n\n"
     "Args:\n    code (str): 商品代號\n\n"
     "Returns:\n    pl.DataFrame: 轉換後的 DataFrame",
     qm_poped_tick_to_df},
    {"poped_old_ticks_to_df", true, {{"code", "str", Check::Str}}, nullptr, "pl.DataFrame",
     "將 old_ticks 中的資料轉為 DataFrame\n\n"
     "Args:\n    code (str): 商品代號\n\n"
     "Returns:\n    pl.DataFrame: 轉換後的 DataFrame",
     qm_poped_old_ticks_to_df},
    {"get_kbar", true,
     {{"code", "str", Check::Str},
      {"unit", kUnit},
      {"freq", "int", Check::Int},
      {"exprs", "List[pl.Expr]", Check::List, Def::EmptyList},
      {"to_pandas_df", "bool", Check::Any, Def::False}},
     nullptr, "pl.DataFrame",
     "取得 K 線資料\n\n"
     "Args:\n"
     "    code (str): 商品代號\n"
     "    unit (Literal[\"m\", \"h\", \"d\", \"w\", \"mo\", \"q\", \"y\"]): K 線頻率單位\n"
     "    freq (int): K 線頻率\n"
     "    exprs (List[pl.Expr]): 給予使用者自定義的運算式\n"
     "    to_pandas_df (bool): 是否轉換為 pandas DataFrame\n\n"
     "Returns:\n    pl.DataFrame: K 線資料",
     qm_get_kbar},
};

}  // namespace

py::object make_quote_manager_class(py::handle module_name) {
    return build_class("QuoteManager", "報價管理", kMethods, module_name);
}

}  // namespace zk
