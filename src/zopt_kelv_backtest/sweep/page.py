"""The sweep's offline page: a heatmap over two columns and a sortable table of every row."""

from __future__ import annotations

import html
import json
import math
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.sweep.plan import FIGURES, ROW_COLUMNS
from zopt_kelv_backtest.sweep.store import _write_atomic

if TYPE_CHECKING:
    import polars as pl

# Every row column but the combination's key, which repeats the parameters, code and window.
PAGE_COLUMNS = tuple(c for c in ROW_COLUMNS if c != "combination")


_SORT_SCRIPT = """
document.querySelectorAll("table.sortable th").forEach((th, col) => th.addEventListener("click", () => {
  const body = th.closest("table").tBodies[0];
  const up = th.dataset.order !== "asc";
  th.closest("tr").querySelectorAll("th").forEach(h => delete h.dataset.order);
  th.dataset.order = up ? "asc" : "desc";
  const key = td => td.dataset.v === undefined ? td.textContent : td.dataset.v;
  const rows = Array.from(body.rows);
  rows.sort((a, b) => {
    const x = key(a.cells[col]), y = key(b.cells[col]);
    const nx = parseFloat(x), ny = parseFloat(y);
    const c = (!isNaN(nx) && !isNaN(ny)) ? nx - ny : x.localeCompare(y);
    return up ? c : -c;
  });
  rows.forEach(r => body.appendChild(r));
}));
"""

_STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table.sortable { border-collapse: collapse; font-size: 0.9em; }
table.sortable th, table.sortable td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
table.sortable th { cursor: pointer; background: #f0f0f0; position: sticky; top: 0; }
table.sortable th[data-order="asc"]::after { content: " \\25B2"; }
table.sortable th[data-order="desc"]::after { content: " \\25BC"; }
td.error { color: #b00; text-align: left; }
"""


def _cell(column: str, value: Any) -> str:
    if value is None:
        return '<td data-v=""></td>'
    if isinstance(value, float):
        if math.isnan(value):
            return '<td data-v="">NaN</td>'
        shown = (f"{value:.1%}" if column == "win_rate" else f"{value:.3f}" if column in ("sharpe", "run_seconds")
                 else f"{value:,.0f}" if column in FIGURES else repr(value))
        return f'<td data-v="{value!r}">{html.escape(shown)}</td>'
    if isinstance(value, bool) or not isinstance(value, int):
        klass = ' class="error"' if column == "error" else ""
        return f"<td{klass}>{html.escape(str(value))}</td>"
    return f'<td data-v="{value}">{value:,}</td>' if column in FIGURES else f'<td data-v="{value}">{value}</td>'


def _heatmap_html(rows: pl.DataFrame, x: str, y: str, metric: str, *, with_library: bool = True) -> str:
    """One heatmap per code (unless code is an axis): a cell never mixes the figures of two codes."""
    import polars as pl

    value = pl.col(metric).cast(pl.Float64)
    ok = rows.filter(pl.col("error").is_null() & value.is_not_null() & value.is_finite())
    if ok.is_empty() or x not in ok.columns or y not in ok.columns:
        return f"<p>No finished run to draw {html.escape(metric)} over {html.escape(x)} and {html.escape(y)}.</p>"
    if "code" in (x, y) or ok["code"].n_unique() == 1:
        return _one_heatmap(ok, x, y, metric, with_library=with_library)
    codes = sorted(ok["code"].unique().to_list(), key=_order_key)
    return "\n".join(f"<h2>{html.escape(str(code))}</h2>\n"
                     + _one_heatmap(ok.filter(pl.col("code") == code), x, y, metric,
                                    with_library=with_library and i == 0)
                     for i, code in enumerate(codes))


def _one_heatmap(ok: pl.DataFrame, x: str, y: str, metric: str, *, with_library: bool) -> str:
    import polars as pl

    cells = ok.group_by([x, y]).agg(pl.col(metric).mean().alias("value"), pl.len().alias("runs"))
    xs = sorted(cells[x].unique().to_list(), key=_order_key)
    ys = sorted(cells[y].unique().to_list(), key=_order_key)
    lookup = {(r[x], r[y]): (r["value"], r["runs"]) for r in cells.iter_rows(named=True)}
    z = [[lookup.get((xv, yv), (None, 0))[0] for xv in xs] for yv in ys]
    runs = [[lookup.get((xv, yv), (None, 0))[1] for xv in xs] for yv in ys]
    figure = _heatmap_figure(z, runs, [str(v) for v in xs], [str(v) for v in ys], x, y, metric)
    return _plotly_html(figure, with_library=with_library)


def _heatmap_figure(z: list[list[Any]], runs: list[list[int]], xs: list[str], ys: list[str], x: str, y: str,
                    metric: str) -> dict[str, Any]:
    """The heatmap as plotly's figure data, in the form plotly's own figure objects give it."""
    from plotly.colors import diverging

    colors = diverging.RdYlGn
    trace = {"type": "heatmap", "z": z, "x": xs, "y": ys, "customdata": runs,
             "colorscale": [[i / (len(colors) - 1), c] for i, c in enumerate(colors)], "zmid": 0,
             "hovertemplate": f"{x}=%{{x}}<br>{y}=%{{y}}<br>mean {metric}=%{{z:,.0f}}<br>runs=%{{customdata}}"
                              "<extra></extra>",
             "colorbar": {"title": {"text": f"mean {metric}"}}}
    layout = {"xaxis": {"title": {"text": x}, "type": "category"},
              "yaxis": {"title": {"text": y}, "type": "category"},
              "height": 480, "margin": {"l": 80, "r": 40, "t": 30, "b": 60}}
    return {"data": [trace], "layout": layout}


def _plotly_html(figure: dict[str, Any], *, with_library: bool = True) -> str:
    """The figure as a page fragment under the default template, with plotly.js inline (once a page).

    Built from plain data rather than plotly's figure objects: those check their values against pandas
    when pandas is imported, which would load the core's waiting report libraries (seconds) for a page.
    A default template that is not one of plotly's named templates goes through the figure objects.
    """
    import plotly.io as pio

    config = {"displaylogo": False}
    template = _named_template(pio.templates.default)
    if template is None:
        import plotly.graph_objects as go

        return str(pio.to_html(go.Figure(figure), full_html=False, include_plotlyjs=with_library, config=config))
    figure = {**figure, "layout": {**figure["layout"], "template": template}}
    return str(pio.to_html(figure, full_html=False, include_plotlyjs=with_library, config=config, validate=False))


def _named_template(name: Any) -> dict[str, Any] | None:
    """Plotly's template `name` as stored in its package data, or None."""
    import plotly

    if not isinstance(name, str) or not name.replace("_", "").isalnum():
        return None
    path = Path(plotly.__file__).parent / "package_data" / "templates" / f"{name}.json"
    try:
        template = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return template if isinstance(template, dict) else None


def _order_key(value: Any) -> tuple[int, Any]:
    return (0, value) if isinstance(value, (int, float)) and not isinstance(value, bool) else (1, str(value))


def _table(rows: pl.DataFrame, shown: Sequence[str]) -> str:
    """`rows` as a sortable table of the columns `shown`."""
    head = "".join(f"<th>{html.escape(c)}</th>" for c in shown)
    body = "\n".join("<tr>" + "".join(_cell(c.removeprefix("train_").removeprefix("test_"), r[c]) for c in shown)
                     + "</tr>" for r in rows.iter_rows(named=True))
    return f"""<table class="sortable"><thead><tr>{head}</tr></thead>
<tbody>
{body}
</tbody></table>"""


def _walk_html(folds: pl.DataFrame, equity: pl.DataFrame, params: Sequence[str]) -> tuple[bool, str]:
    """The walk-forward: each code's stitched out-of-sample equity, and the folds in a sortable table;
    whether the chart (with the chart library) is there."""
    traces = [{"type": "scatter", "mode": "lines+markers", "name": str(code),
               "x": [d.isoformat() for d in part["date"]], "y": part["stitched"].to_list(),
               "hovertemplate": "%{x}<br>stitched equity %{y:,.0f}<extra>" + html.escape(str(code)) + "</extra>"}
              for (code,), part in equity.group_by(["code"], maintain_order=True)]
    layout = {"xaxis": {"title": {"text": "test day"}, "type": "category"},
              "yaxis": {"title": {"text": "stitched out-of-sample equity"}},
              "height": 420, "margin": {"l": 80, "r": 40, "t": 30, "b": 60}}
    chart = (_plotly_html({"data": traces, "layout": layout}) if traces
             else "<p>No test run has finished: no out-of-sample equity to draw.</p>")
    # The parameters stand between the test days and the metric; those not swept are left out.
    cols = folds.columns
    unswept = set(cols[cols.index("test_end") + 1:cols.index("metric")]) - set(params)
    hidden = {"train_combination", "test_combination", "fingerprint", *unswept}
    metric = folds["metric"][0] if folds.height else "net_profit"
    return bool(traces), f"""<h2>Walk-forward</h2>
<p>{folds.height} folds and codes, chosen by {html.escape(str(metric))} on their training days; each
test run's change of equity chained onto the previous fold's end.</p>
{chart}
{_table(folds, [c for c in cols if c not in hidden])}
<h2>Training runs</h2>"""


def write_page(rows: pl.DataFrame, path: str | os.PathLike[str], *, x: str, y: str, params: Sequence[str],
               metric: str = "net_profit", title: str = "Sweep",
               walk: tuple[pl.DataFrame, pl.DataFrame] | None = None) -> None:
    """Write the offline page: a heatmap of mean `metric` over columns `x` and `y` for each code (one
    when code is an axis), and every row in a sortable table; with `walk` (a walk-forward's folds and
    equity) first its stitched out-of-sample equity and its folds."""
    shown = [c for c in [*params, *PAGE_COLUMNS] if c in rows.columns]
    failed = rows.filter(rows["error"].is_not_null()).height if "error" in rows.columns else 0
    charted, walked = (False, "") if walk is None else _walk_html(*walk, params)
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>{_STYLE}</style></head>
<body>
<h1>{html.escape(title)}</h1>
{walked}
<p>{rows.height} runs, {failed} failed. Heatmap: mean {html.escape(metric)} over {html.escape(x)} and
{html.escape(y)}, one per code. Click a column heading to sort the table.</p>
{_heatmap_html(rows, x, y, metric, with_library=not charted)}
{_table(rows, shown)}
<script>{_SORT_SCRIPT}</script>
</body></html>
"""
    target = Path(path)
    _write_atomic(target, lambda tmp: Path(tmp).write_text(page, encoding="utf-8"))
