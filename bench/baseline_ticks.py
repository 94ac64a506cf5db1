"""Plain-Python rendering of QuoteManager's tick store, used only by the benchmarks.

Written the way a careful Python programmer would: dicts, datetime, the same
loops and order of checks as the native add_tick (including the stop at the
incoming tick's own time), with the constant times hoisted out of the loops.
"""

import os
from datetime import datetime, time, timedelta

import polars as pl

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "zopt_kelv_backtest", "static")

MIDNIGHT = time(0, 0, 0)
FIVE_AM = time(5, 0, 0)
ONE_DAY = timedelta(days=1)
ONE_SECOND = timedelta(seconds=1)


class QuoteManager:
    def __init__(self, static_dir=STATIC_DIR):
        holiday_search_df = pl.read_csv(os.path.join(static_dir, "holidays_search_from_2017.csv"), has_header=True)
        self.holiday_search_set = set(holiday_search_df["Date"])
        self.ticks = {}
        t = lambda text: datetime.strptime(text, "%H:%M:%S").time()  # noqa: E731
        self.not_trade_times = {
            "Stock": [[t("13:30:00"), t("23:59:59")], [t("00:00:00"), t("08:59:59")]],
            "Future": [[t("13:45:00"), t("14:59:59")], [t("05:00:00"), t("08:44:59")]],
        }

    def get_init_ticks_info(self):
        return {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}

    def add_tick(self, tick):
        ts = datetime.fromtimestamp(tick["timestamp"])
        new_ticks = []
        code = tick["code"]
        if code not in self.ticks:
            self.ticks[code] = self.get_init_ticks_info()
            last_tick = None
        else:
            last_tick = self.ticks[code]["last_tick"]

        if last_tick:
            diff_seconds = (ts - last_tick["dt"]).total_seconds()
            diff_minute = int(diff_seconds // 60)
            rest_second = 1 if diff_seconds % 60 > 0 and ts.minute - last_tick["dt"].minute > 1 else 0
            missing_kbar_count = diff_minute + rest_second
            if missing_kbar_count > 1:
                base = last_tick["dt"].replace(second=0, microsecond=0)
                market_type = tick["market_type"]
                windows = self.not_trade_times.get(market_type, [])
                for i in range(missing_kbar_count):
                    new_dt = base + timedelta(minutes=i + 1)
                    if new_dt > ts:  # never a bar from after the tick that reveals the gap
                        break
                    if new_dt.weekday() >= 5:
                        if not (market_type == "Future" and MIDNIGHT <= new_dt.time() <= FIVE_AM):
                            continue
                    skip = False
                    for start, end in windows:
                        if start <= new_dt.time() <= end:
                            skip = True
                            break
                    if skip:
                        continue
                    if new_dt.time() <= FIVE_AM:
                        date_text = (new_dt - ONE_DAY).strftime("%Y-%m-%d")
                    else:
                        date_text = new_dt.strftime("%Y-%m-%d")
                    if date_text in self.holiday_search_set:
                        continue
                    new_ticks.append({
                        "dt": new_dt,
                        "market_type": last_tick["market_type"],
                        "code": last_tick["code"],
                        "close": last_tick["close"],
                        "qty": 0,
                        "tick_type": 0,
                        "is_simulate": False,
                        "is_virtual": True,
                    })

        new_ticks.append({
            "dt": ts,
            "market_type": tick["market_type"],
            "code": tick["code"],
            "close": tick["close"],
            "qty": tick["qty"],
            "tick_type": tick["tick_type"],
            "is_simulate": tick["is_simulate"],
            "is_virtual": False,
        })
        for start, end in self.not_trade_times.get(tick["market_type"], []):
            if start <= ts.time() <= end:
                new_ticks[-1]["dt"] = ts.replace(hour=start.hour, minute=start.minute, second=start.second) - ONE_SECOND
                break
        self.ticks[code]["last_tick"] = new_ticks[-1]
        self.ticks[code]["ticks"].extend(new_ticks)
