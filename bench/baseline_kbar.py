"""Plain-Python rendering of the K-bar part of QuoteManager, written literally
(the list-of-dicts conversion included). Used only as the benchmark baseline."""
import polars as pl

TICK_SCHEMA = [("dt", pl.Datetime), ("market_type", pl.Utf8), ("code", pl.Utf8), ("close", pl.Float64),
               ("qty", pl.Int64), ("tick_type", pl.Int8), ("is_simulate", pl.Boolean), ("is_virtual", pl.Boolean)]


class BaselineQuoteManager:
    def __init__(self):
        self.ticks = {}

    def get_init_ticks_info(self):
        return {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}

    def get_empty_tick_df(self):
        return pl.DataFrame([], schema=TICK_SCHEMA)

    def add_stored(self, stored_ticks):
        """The stored ticks one add_tick call leaves (made beforehand by the real add_tick)."""
        code = stored_ticks[-1]["code"]
        if code not in self.ticks:
            self.ticks[code] = self.get_init_ticks_info()
        self.ticks[code]["last_tick"] = stored_ticks[-1]
        self.ticks[code]["ticks"].extend(stored_ticks)

    def aggregate_kbar(self, tick_df):
        return tick_df.group_by(["kbar_time", "code"]).agg([
            pl.col("close").first().alias("Open"),
            pl.col("close").max().alias("High"),
            pl.col("close").min().alias("Low"),
            pl.col("close").last().alias("Close"),
            pl.col("qty").sum().alias("Volume"),
        ]).rename({"kbar_time": "dt"})

    @staticmethod
    def _to_df(ticks):
        return pl.DataFrame(ticks).select(
            pl.col("dt").cast(pl.Datetime), pl.col("market_type").cast(pl.Utf8), pl.col("code").cast(pl.Utf8),
            pl.col("close").cast(pl.Float64), pl.col("qty").cast(pl.Int64), pl.col("tick_type").cast(pl.Int8),
            pl.col("is_simulate").cast(pl.Boolean), pl.col("is_virtual").cast(pl.Boolean),
        ).sort("dt", maintain_order=True)

    def poped_tick_to_df(self, code):
        if code not in self.ticks:
            return self.get_empty_tick_df()
        poped_ticks = self.ticks[code]["ticks"]
        if not poped_ticks:
            return self.get_empty_tick_df()
        self.ticks[code]["old_ticks"].extend(poped_ticks)
        self.ticks[code]["ticks"] = []
        return self._to_df(poped_ticks)

    def poped_old_ticks_to_df(self, code):
        if code not in self.ticks:
            return self.get_empty_tick_df()
        old_ticks = self.ticks[code]["old_ticks"]
        if not old_ticks:
            return self.get_empty_tick_df()
        return self._to_df(old_ticks)

    def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):  # noqa: B006
        def return_fn(df):
            return df.to_pandas() if to_pandas_df else df

        if unit not in ["m", "h", "d", "w", "mo", "q", "y"]:
            raise TypeError("'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']")
        tick_df = self.poped_tick_to_df(code)
        cache_key = (code, unit, freq)
        if cache_key not in self.ticks[code]["cached_kbars"]:
            tick_df = self.poped_old_ticks_to_df(code)
            tick_df = tick_df.with_columns(
                pl.col("dt").cast(pl.Datetime).alias("dt"),
                pl.col("dt").dt.truncate(f"{freq}{unit}").alias("kbar_time"))
            kbar_df = self.aggregate_kbar(tick_df)
        else:
            tick_df = tick_df.with_columns(
                pl.col("dt").cast(pl.Datetime).alias("dt"),
                pl.col("dt").dt.truncate(f"{freq}{unit}").alias("kbar_time"))
            if tick_df.is_empty():
                return return_fn(self.ticks[code]["cached_kbars"][cache_key])
            kbar_df = self.ticks[code]["cached_kbars"][cache_key]
            last_kbar_dt = kbar_df["dt"].max()
            completed_kbars = kbar_df.filter(pl.col("dt") < last_kbar_dt)
            last_kbar = kbar_df.filter(pl.col("dt") == last_kbar_dt)
            tick_df = tick_df.filter((pl.col("kbar_time") >= last_kbar_dt) & (pl.col("is_simulate") != True))  # noqa: E712
            new_last_kbars = self.aggregate_kbar(tick_df)
            last_kbars = last_kbar.vstack(new_last_kbars)
            last_kbars = last_kbars.group_by(["dt", "code"]).agg([
                pl.col("Open").first(), pl.col("High").max(), pl.col("Low").min(),
                pl.col("Close").last(), pl.col("Volume").sum()])
            kbar_df = completed_kbars.vstack(last_kbars)
        if kbar_df.is_empty():
            return return_fn(kbar_df)
        kbar_df = kbar_df.sort(["dt"])
        self.ticks[code]["cached_kbars"][cache_key] = kbar_df
        if exprs:
            kbar_df = kbar_df.with_columns(exprs)
        return return_fn(kbar_df)
