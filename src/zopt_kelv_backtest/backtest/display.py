"""Results in a notebook: compact HTML summaries and an interactive figure.

Every text placed in HTML here is escaped. The figure is plotly's: a page made with
``include_plotlyjs=True`` carries plotly.js inline, so it draws without a network, and a notebook saved
with the figure's output shows it again offline.
"""

from __future__ import annotations

import html
import math
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import plotly.graph_objects as go
    import polars as pl

    from zopt_kelv_backtest.backtest.result import BacktestResult

__all__ = ["result_figure", "result_html", "sweep_html"]

SWEEP_ROWS = 10  # rows a sweep's summary shows
_RUN_KEYS = ("combination", "fingerprint")  # a run's identity, not for reading
_STYLE = "border-collapse:collapse;font-family:monospace;font-size:12px"
_CELL = "padding:2px 8px;border-bottom:1px solid #ddd;text-align:right"


def _number(value: Any) -> str:
    if isinstance(value, bool) or value is None:
        return str(value)
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return f"{value:,.2f}" if math.isfinite(value) and abs(value) >= 1 else f"{value:.4g}"
    return str(value)


def _table(header: Iterable[Any] | None, rows: Iterable[Iterable[Any]]) -> str:
    """An HTML table of escaped cells."""
    head = "" if header is None else "<tr>" + "".join(
        f'<th style="{_CELL}">{html.escape(str(h))}</th>' for h in header) + "</tr>"
    body = "".join("<tr>" + "".join(f'<td style="{_CELL}">{html.escape(_number(c))}</td>' for c in row) + "</tr>"
                   for row in rows)
    return f'<table style="{_STYLE}">{head}{body}</table>'


def result_html(result: BacktestResult) -> str:
    """The compact summary of a run: its figures, trading days, codes, ticks and fills."""
    figures = result.summary()
    days = result.days
    span = f"{days[0].isoformat()} to {days[-1].isoformat()}" if days else "none"
    about = [("trading days", f"{len(days)} ({span})"), ("codes", ", ".join(result.codes) or "none"),
             ("ticks", result.tick_count), ("fills", len(result.fills)), ("capital", result.capital),
             ("open lots at the end", len(result.open_lots))]
    labels = {"net_profit": "net profit (realised)", "open_profit": "open profit (at the end)",
              "trade_count": "round trips", "win_rate": "win rate", "total_cost": "total cost",
              "max_drawdown": "max drawdown", "sharpe": "Sharpe (daily, 252)"}
    rows = [(labels.get(k, k), f"{v:.1%}" if k == "win_rate" else v) for k, v in figures.items()]
    return ("<div><b>BacktestResult</b>"
            f"{_table(None, rows)}{_table(None, about)}</div>")


def sweep_html(frame: pl.DataFrame, rows: int = SWEEP_ROWS, *, best: pl.DataFrame | None = None) -> str:
    """The compact summary of a sweep's results frame: runs, errors, and its best ``rows`` runs.

    ``best`` is the ranking to show (``SweepResult.best``); without it the rows with the highest net
    profit come first (the frame's first rows when it has no ``net_profit`` column). The keys of a run
    (combination, fingerprint) are left out.
    """
    count = frame.height
    failed = frame.filter(frame["error"].is_not_null()).height if "error" in frame.columns else 0
    shown = frame if best is None else best
    if best is None and "net_profit" in frame.columns:
        shown = frame.sort("net_profit", descending=True, nulls_last=True)
    shown = shown.head(rows).drop([c for c in _RUN_KEYS if c in shown.columns])
    title = f"SweepResult: {count} runs, {failed} with an error; best {shown.height} by net profit"
    return f"<div><b>{html.escape(title)}</b>{_table(shown.columns, shown.rows())}</div>"


def _markers(result: BacktestResult, code: str) -> list[go.Scatter]:
    """Entry and exit markers of ``code``'s round trips (prices before slippage), by side."""
    import plotly.graph_objects as go
    import polars as pl

    trips = result.round_trips.filter(pl.col("code") == code)
    out = []
    for side, colour in (("long", "#d62728"), ("short", "#2ca02c")):
        mine = trips.filter(pl.col("side") == side)
        if mine.height:
            out.append(go.Scatter(x=mine["entry_dt"].to_list(), y=mine["entry_origin_price"].to_list(), mode="markers",
                                  name=f"{side} entry", marker={"symbol": "triangle-up" if side == "long" else
                                                                "triangle-down", "size": 9, "color": colour}))
            out.append(go.Scatter(x=mine["exit_dt"].to_list(), y=mine["exit_origin_price"].to_list(), mode="markers",
                                  name=f"{side} exit", marker={"symbol": "x", "size": 8, "color": colour},
                                  customdata=mine["profit"].to_list(),
                                  hovertemplate="%{x}<br>%{y}<br>profit %{customdata:,.0f}<extra></extra>"))
    return out


def result_figure(result: BacktestResult, code: str | None = None) -> go.Figure:
    """Price of ``code`` (one-minute closes; default the first traded code) with entries and exits,
    the daily equity and the drawdown, in three linked panels."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    if code is None:
        code = result.codes[0] if result.codes else None
    elif code not in result.codes:
        raise ValueError(f"{code!r} is not a traded code of this run (traded: {result.codes})")
    fig = make_subplots(rows=3, cols=1, shared_xaxes=False, vertical_spacing=0.08, row_heights=[0.5, 0.3, 0.2],
                        subplot_titles=(f"{code or 'no code'}: price, entries and exits", "equity (per trading day)",
                                        "drawdown"))
    if code is not None:
        bars = result.quote_manager.get_kbar(code, "m", 1)
        fig.add_trace(go.Scatter(x=bars["dt"].to_list(), y=bars["Close"].to_list(), mode="lines", name=f"{code} close",
                                 line={"width": 1, "color": "#1f77b4"}), row=1, col=1)
        for trace in _markers(result, code):
            fig.add_trace(trace, row=1, col=1)
    daily = result.daily
    dates = [d.isoformat() for d in daily["date"]]
    fig.add_trace(go.Scatter(x=dates, y=daily["equity"].to_list(), mode="lines+markers", name="equity",
                             line={"color": "#ff7f0e"}), row=2, col=1)
    fig.add_trace(go.Scatter(x=dates, y=daily["drawdown"].to_list(), mode="lines", fill="tozeroy", name="drawdown",
                             line={"color": "#9467bd"}), row=3, col=1)
    fig.update_xaxes(type="category", row=2, col=1)  # trading days, without the weekends between them
    fig.update_xaxes(type="category", row=3, col=1)
    fig.update_layout(height=750, hovermode="closest", margin={"l": 60, "r": 20, "t": 40, "b": 30},
                      legend={"orientation": "h"})
    return fig
