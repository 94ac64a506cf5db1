"""Plain-Python rendering of the two report methods, used only by bench_reports.py.

The literal algorithm (numeric dates, no atomic writes, no checks), calling the same libraries and
globals of the module, so that the ratio shows the cost of the native glue around them.
"""

from datetime import datetime

import pandas as pd
import polars as pl


def standard_report(mod, pos, code, quote_manager):
    mod.console.print("[bold green]產生 " + code + " 的回測報告...[/bold green]")
    result_path = pos._Positions__generate_save_path(code + "-report.html", "report")
    kbar_df = quote_manager.get_kbar(code, unit="m", freq=1)
    profit_rows = [r for r in pos._profit_report["rows"] if r["code"] == code]
    markers = []
    for row in profit_rows:
        entry_dt = datetime.fromtimestamp(row["entry_dt"])
        exit_dt = datetime.fromtimestamp(row["exit_dt"])
        row["entry_dt"] = entry_dt.strftime("%Y-%m-%d %H:%M:%S")
        row["exit_dt"] = exit_dt.strftime("%Y-%m-%d %H:%M:%S")
        entry_dt = entry_dt.replace(second=0, microsecond=0)
        exit_dt = exit_dt.replace(second=0, microsecond=0)
        markers.append({"code": row["code"], "type": "entry", "dt": entry_dt.strftime("%Y-%m-%d %H:%M:%S"),
                        "qty": row["qty"], "price": row["entry_price"], "origin_price": row["entry_origin_price"]})
        markers.append({"code": row["code"], "type": "exit", "dt": exit_dt.strftime("%Y-%m-%d %H:%M:%S"),
                        "qty": row["qty"], "price": row["exit_price"], "origin_price": row["exit_origin_price"]})
    kbar_df = kbar_df.with_columns(pl.col("dt").dt.strftime("%Y-%m-%d %H:%M:%S").alias("dt"))
    kbar_df = kbar_df.rename({"dt": "time", "Open": "open", "High": "high", "Low": "low", "Close": "close",
                              "Volume": "volume"})
    context = {
        "kbar_df": mod.json.dumps(kbar_df.to_dicts()),
        "profit_rows": profit_rows,
        "profit_rows_json": mod.json.dumps(profit_rows),
        "include_profit_rows": mod.json.dumps(markers),
        "fee_settings": pos._fee_settings,
        "account_info": pos._account_infos.get(code) or pos._Positions__init_account_info(),
    }
    with open(result_path, "w+", encoding="utf-8") as f:
        f.write(mod.template.render(context))
    mod.console.print("[bold green]回測基本報告已產生: " + result_path + "[/bold green]")


def qs_profit_report(mod, pos, code, quote_manager):
    rows = [r for r in pos._profit_report["rows"] if r["code"] == code]
    html = pos._Positions__generate_save_path(code + "-profit_report.html", "kelv", "profit_report")
    csv = pos._Positions__generate_save_path(code + "-profit_report.csv", "kelv", "profit_report")
    df = pd.DataFrame(rows)
    df["exit_dt"] = pd.to_datetime(df["exit_dt"], errors="coerce")
    df.to_csv(csv, index=False, encoding="utf-8-sig")
    df["date"] = df["exit_dt"].dt.normalize()
    returns = df.groupby("date")["profit"].sum() / pos.initial_capital
    if len(returns) == 1:
        returns.loc[returns.index[0] + pd.Timedelta(days=1)] = 0.0
    returns = returns.sort_index()
    day_kbar = quote_manager.get_kbar("0050", unit="d", freq=1)
    filtered = day_kbar.filter((pl.col("dt") >= returns.index[0]) & (pl.col("dt") <= returns.index[-1]))
    pdf = filtered.select(["dt", "Close"]).to_pandas()
    target = pd.Series(data=pdf["Close"].values, index=pd.to_datetime(pdf["dt"].values))
    benchmark = mod.qs.utils.to_returns(target)
    mod.qs.reports.html(returns=returns, download_filename=html, output=html, rf=0.04, title="進階損益報告",
                        benchmark=benchmark, benchmark_title="0050")
    mod.console.print("[bold green]進階損益報告已產生: " + html + "[/bold green]")
    mod.console.print("[bold green]損益報告 CSV 已產生: " + csv + "[/bold green]")
