"""Quote and position core of the back-tester: `QuoteManager` and `Positions`."""

import copy as copy
import json as json
import math as math
import os as os
import queue as queue
import warnings as warnings
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Literal as Literal

import matplotlib as matplotlib
import pandas as pd
import polars as pl
import quantstats_lumi as qs
from jinja2 import Environment as Environment
from jinja2 import FileSystemLoader as FileSystemLoader
from jinja2 import Template

from zopt_kelv_backtest.constant import BASIC_INFO as BASIC_INFO
from zopt_kelv_backtest.constant import Action as Action
from zopt_kelv_backtest.constant import FutureIndexContractValue as FutureIndexContractValue
from zopt_kelv_backtest.constant import OrderCond as OrderCond
from zopt_kelv_backtest.utils import console as console
from zopt_kelv_backtest.utils import make_dir as make_dir

base_dir: str
static_dir: str
env: Environment
template: Template

_Unit = Literal["m", "h", "d", "w", "mo", "q", "y"]
_Product = Literal["Stock", "Future"]
_Action = Literal["Buy", "Sell"]
_Status = Literal["Order", "Deal", "Cancel"]
_Direction = Literal["up", "down"]

class QuoteManager:
    """報價管理"""

    holiday_search_set: set[str]
    ticks: Dict[str, Dict[str, Any]]
    not_trade_times: Dict[str, List[List[Any]]]

    def __init__(self) -> None: ...
    def get_init_ticks_info(self) -> Dict[str, Any]:
        """取得 ticks 的初始資訊"""
    def get_empty_tick_df(self) -> pl.DataFrame:
        """取得空的 Tick DataFrame"""
    def clear_ticks(self) -> None:
        """清空 ticks"""
    def add_tick(self, tick: Dict[str, Any]) -> None:
        """將 Tick 資料加入到 ticks 中"""
    def aggregate_kbar(self, tick_df: pl.DataFrame) -> pl.DataFrame:
        """將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)"""
    def poped_tick_to_df(self, code: str) -> pl.DataFrame:
        """將 ticks 中的資料轉換為 DataFrame 並清空 ticks"""
    def poped_old_ticks_to_df(self, code: str) -> pl.DataFrame:
        """將 old_ticks 中的資料轉為 DataFrame"""
    def get_kbar(
        self,
        code: str,
        unit: _Unit,
        freq: int,
        exprs: List[pl.Expr] = [],
        to_pandas_df: bool = False,
    ) -> Any:
        """取得 K 線資料 (a polars DataFrame, or a pandas DataFrame when to_pandas_df is true)"""

class Positions:
    def __init__(self) -> None:
        """Position Module"""
    # Private helpers, stored under their class-qualified names.
    def _Positions__init_account_info(self) -> None: ...
    def _Positions__generate_save_path(self, file_name: str | None = None, *sub_folder: str) -> str:
        """產生檔案儲存路徑"""
    def _Positions__make_trade_record(
        self,
        trade_id: str,
        code: str,
        action: _Action,
        quantity: int,
        price: float,
        timestamp: float,
        trade_status: _Status,
    ) -> Dict[str, Any]:
        """建立交易紀錄"""
    def _Positions__apply_future_contract_value(self, code: str) -> float:
        """套用期貨合約價值"""
    def _Positions__ceil_price_by_tick(self, code: str, price: float) -> tuple[Any, ...]:
        """依照股票的價格區間, 將價格向上取整"""
    def _Positions__calculate_slippage_price(
        self, code: str, price: float, tick_count: int, direction: _Direction
    ) -> float:
        """計算滑價後的價格"""
    def _Positions__calculate_trade_cost(
        self,
        code: str,
        action: _Action,
        price: float,
        quantity: int,
        product_type: _Product,
        ignore_tax: bool = False,
        is_cover: bool = True,
    ) -> Dict[str, float]:
        """計算交易成本"""
    def _Positions__calculate_profit(
        self, cover_position: Dict[str, Any], product_type: _Product
    ) -> Dict[str, Any]:
        """計算損益"""
    def _Positions__format_position_summary(self, product_type: str) -> List[Dict[str, Any]]:
        """格式化庫存資訊(總計)：股票或期貨"""
    def _Positions__format_position_detail(self, product_type: str) -> List[Dict[str, Any]]:
        """格式化庫存資訊(明細)：股票或期貨"""
    @property
    def fee_settings(self) -> Dict[str, Any]:
        """取得手續費設定"""
    def reset_fee_settings(self) -> None:
        """重置手續費設定"""
    def update_fee_settings(
        self,
        setting_type: Literal["stock", "future"],
        action: Literal["buy", "sell"] | None = None,
        fee: float | None = None,
        tax: float | None = None,
        per_trade_cost: int | None = None,
        tick_count: int | None = None,
        direction: _Direction | None = None,
    ) -> None:
        """設定手續費設定"""
    def set_current_tick(self, tick: Dict[str, Any]) -> None:
        """設定目前的 Tick 資訊"""
    def add_trade_record(
        self,
        trade_id: str,
        code: str,
        action: _Action,
        quantity: int,
        price: float,
        timestamp: float,
        trade_status: _Status,
    ) -> None:
        """加入交易紀錄"""
    def set_positions(self, trade: dict[str, Any], product_type: _Product) -> None:
        """設定持有部位"""
    def fetch_positions(self, account_type: _Product, fetch_detail: bool = False) -> None:
        """取得持有部位 (the list is delivered through fetch_position_queue)"""
    def add_positions_to_queue(self, positions: object) -> None:
        """將持有部位加入 Queue"""
    def pop_positions(self) -> Any:
        """取得盤中未實現損益的請求"""
    def add_finish_notify_to_queue(self) -> None:
        """將盤中未實現損益計算完成的通知加入 Queue"""
    def pop_finish_notify(self) -> Any:
        """取得盤中未實現損益計算完成的通知"""
    def export_trade_records(self) -> None:
        """匯出交易紀錄"""
    def get_profit_rows_by_code(self, code: str) -> List[Dict[str, Any]]:
        """回傳指定標的的損益報告"""
    def generate_standard_report(self, code: str, quote_manager: QuoteManager) -> None:
        """產生標準的 ZOPT 回測報告"""
    def generate_qs_profit_report(self, code: str, quote_manager: QuoteManager) -> None:
        """產生 QuantStats 的損益報告"""
    def set_initial_capital(self, capital: int) -> None:
        """設定初始資金"""
    def fetch_account_balance(self) -> int | float:
        """取得帳戶餘額"""
    def fetch_margin(self) -> float:
        """取得保證金"""
    # Instance state, created by __init__.
    positions: Dict[str, Dict[str, List[Dict[str, Any]]]]
    trade_records: List[Dict[str, Any]]
    product_type_mapper: Dict[str, str]
    current_tick_infos: Dict[str, Dict[str, Any]]
    fetch_position_queue: queue.Queue[Any]
    finish_fetch_position_queue: queue.Queue[Any]
    wait_fetch_position_response_flag: bool
    initial_capital: int
    current_capital: int | float
    _profit_report: Dict[str, Any]
    _fee_settings: Dict[str, Any]
    _account_infos: Dict[str, Dict[str, Any]]
