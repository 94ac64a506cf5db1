"""Plain-Python rendering of QuoteManager's tick store: the tests' reference and the benchmarks' baseline.

Written the way a careful Python programmer would: dicts, datetime, the same loops and order of checks
as the native add_tick (including the stop at the incoming tick's own time), with the constant times
hoisted out of the loops.
"""

from datetime import datetime, time, timedelta

MIDNIGHT = time(0, 0, 0)
FIVE_AM = time(5, 0, 0)
ONE_DAY = timedelta(days=1)
ONE_SECOND = timedelta(seconds=1)


class RefQuoteManager:
    def __init__(self, holidays, not_trade_times):
        self.holiday_search_set = holidays
        self.ticks = {}
        self.not_trade_times = not_trade_times

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
