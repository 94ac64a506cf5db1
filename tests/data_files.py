"""Builders of the exchange's daily tick files, from the file's published facts, for the data tests."""

import zipfile
from datetime import date, datetime, timedelta

from zopt_kelv_backtest import market

HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價"


def row(when, product="MTX", contract="202406", price=20000, both=2, auction=False, near="-", far="-"):
    """One data row as the exchange writes it: padded fields, HHMMSS without its leading zero."""
    hhmmss = when.hour * 10000 + when.minute * 100 + when.second
    return (f"{when:%Y%m%d},{product:<7},{contract:<11},{hhmmss:>7},{price:>8},{both:>4},{near},{far},"
            f"{'*' if auction else ''}")


def daily_bytes(rows, *, crlf=True):
    """A daily file's bytes: the cp950 header row and the data rows."""
    end = "\r\n" if crlf else "\n"
    return (end.join([HEADER, *rows]) + end).encode("cp950")


def write_zip(path, rows_or_bytes, member=None):
    """``path`` as the exchange's zip of one daily file."""
    data = rows_or_bytes if isinstance(rows_or_bytes, bytes) else daily_bytes(rows_or_bytes)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(member or path.with_suffix(".csv").name, data)
    return path


def taipei(day, hh, mm, ss=0):
    return datetime(day.year, day.month, day.day, hh, mm, ss, tzinfo=market.TAIPEI)


def previous_trading_day(day):
    day -= timedelta(days=1)
    while not market.is_trading_day(day):
        day -= timedelta(days=1)
    return day


def session_rows(day, contracts=("202406",), product="MTX", price=20000):
    """A trading day's rows: its night session (from 15:00 of the trading day before, past midnight) and
    its day session, each opening with an auction trade, one trade of each contract per time."""
    before = previous_trading_day(day)
    times = [taipei(before, 15, 0), taipei(before, 23, 59, 59), taipei(before + timedelta(days=1), 0, 0, 1),
             taipei(before + timedelta(days=1), 4, 59, 59), taipei(day, 8, 45), taipei(day, 9, 5, 7),
             taipei(day, 13, 45)]
    rows = []
    for i, when in enumerate(times):
        for j, contract in enumerate(contracts):
            rows.append(row(when, product, contract, price + i + 100 * j, 2 * (i + 1), auction=i in (0, 4)))
    return rows


def file_name(day: date, suffix=".zip"):
    return f"Daily_{day:%Y_%m_%d}{suffix}"
