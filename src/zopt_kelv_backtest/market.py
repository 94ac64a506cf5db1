"""The Taiwan market's constants and calendar, in one place for the runner, the sweep, the data importers
and the synthetic generator.

- Time: every tick time is epoch seconds; the exchanges keep Taipei time (UTC+8, no daylight saving).
- Sessions (Taipei wall clock): stocks trade 09:00 to 13:30; index futures have a day session 08:45 to
  13:45 and a night session 15:00 to 05:00 of the next calendar day. A night session belongs to the next
  trading day, the exchange's way of counting it.
- Calendar: ``static/holidays_search_from_2017.csv`` lists every date without a stock exchange session,
  weekends included; :func:`holiday_dates` reads it (once per change of the file).
- The input boundary: :func:`check_code` and :data:`FIRST_TIMESTAMP` / :data:`END_TIMESTAMP` say which
  product codes and tick times the package accepts from files and importers.
"""

from __future__ import annotations

import csv
import os
import re
from collections.abc import Set as AbstractSet
from datetime import date, datetime, time, timedelta, timezone
from zoneinfo import ZoneInfo

__all__ = [
    "BENCHMARK",
    "CODE_PATTERN",
    "DAY_SESSION",
    "END_TIMESTAMP",
    "FIRST_TIMESTAMP",
    "HOLIDAY_FILE",
    "NIGHT_SESSION",
    "NOT_CODES",
    "SESSION_CUT",
    "STATIC_DIR",
    "STOCK_SESSION",
    "TAIPEI",
    "TAIPEI_OFFSET",
    "TICK_YEARS",
    "bad_code",
    "calendar_years",
    "check_code",
    "holiday_dates",
    "is_trading_day",
    "trading_day_of",
    "trading_days",
]

TAIPEI = ZoneInfo("Asia/Taipei")
TAIPEI_OFFSET = 8 * 3600  # seconds east of UTC, all year
BENCHMARK = "0050"  # the QuantStats report's benchmark; not traded by default

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
HOLIDAY_FILE = os.path.join(STATIC_DIR, "holidays_search_from_2017.csv")

STOCK_SESSION = (time(9, 0), time(13, 30))
DAY_SESSION = (time(8, 45), time(13, 45))  # index futures
NIGHT_SESSION = (time(15, 0), time(5, 0))  # index futures; ends on the next calendar day
SESSION_CUT = time(5, 0)  # a tick before this wall-clock time belongs to the previous evening's session

# Product codes: letters, digits and "._-", 1 to 32 characters (2330, 00878, TXFA4, MXF, TXF202606),
# except the two names of folders in a path: codes name report files.
CODE_PATTERN = r"[A-Za-z0-9._-]{1,32}"
NOT_CODES = frozenset({".", ".."})
_CODE = re.compile(CODE_PATTERN)

# Tick times the package accepts: the years 1971 to 2999 (Taipei), so that every date, K-bar start and
# session a tick leads to, and a local time a day either side, stays inside what datetimes hold.
TICK_YEARS = (1971, 2999)
FIRST_TIMESTAMP = datetime(TICK_YEARS[0], 1, 1, tzinfo=TAIPEI).timestamp()
END_TIMESTAMP = datetime(TICK_YEARS[1] + 1, 1, 1, tzinfo=TAIPEI).timestamp()  # the first time past the range


def bad_code(code: object) -> bool:
    """Whether ``code`` is not a product code: :data:`CODE_PATTERN`, and not one of :data:`NOT_CODES`."""
    return not isinstance(code, str) or _CODE.fullmatch(code) is None or code in NOT_CODES


def check_code(code: object) -> str:
    """``code`` itself when it is a product code; ``ValueError`` naming the pattern otherwise."""
    if bad_code(code):
        raise ValueError(f"bad code {code!r}: use letters, digits and '._-', at most 32 characters")
    return code  # type: ignore[return-value]


# path -> (modification time, size, dates): the calendar is read again only when the file changes.
_HOLIDAY_CACHE: dict[str, tuple[int, int, frozenset[str]]] = {}


def holiday_dates(path: str | None = None) -> frozenset[str]:
    """Dates ("%Y-%m-%d") without trading in the calendar at ``path`` (default :data:`HOLIDAY_FILE`, read
    at call time); the calendar lists weekends too."""
    path = HOLIDAY_FILE if path is None else path
    st = os.stat(path)
    known = _HOLIDAY_CACHE.get(path)
    if known is not None and known[:2] == (st.st_mtime_ns, st.st_size):
        return known[2]
    with open(path, newline="", encoding="utf-8") as f:
        dates = frozenset(row["Date"] for row in csv.DictReader(f))
    _HOLIDAY_CACHE[path] = (st.st_mtime_ns, st.st_size, dates)
    return dates


def calendar_years(path: str | None = None) -> tuple[int, int]:
    """First and last year the holiday calendar covers (whole years; outside them it knows no holidays)."""
    known = holiday_dates(path)
    return int(min(known)[:4]), int(max(known)[:4])


def is_trading_day(day: date, holidays: AbstractSet[str] | None = None) -> bool:
    """Whether ``day`` has a session: a weekday not in the calendar (or in ``holidays`` when given)."""
    return day.weekday() < 5 and day.strftime("%Y-%m-%d") not in (holiday_dates() if holidays is None else holidays)


def trading_days(start: date, count: int, holidays: AbstractSet[str] | None = None, *,
                 calendar: str | None = None) -> list[date]:
    """The first ``count`` trading days from ``start`` (inclusive).

    Without ``holidays``, the calendar file ``calendar`` (default the package's) decides, and days outside
    the years it covers raise ValueError.
    """
    if count < 1:
        raise ValueError("count must be at least 1")
    last = None
    if holidays is None:
        holidays = holiday_dates(calendar)
        first_year, last_year = calendar_years(calendar)
        first, last = f"{first_year}-01-01", f"{last_year}-12-31"
        if start.strftime("%Y-%m-%d") < first:
            raise ValueError(f"the holiday calendar starts on {first}: {start} is before it")
    days: list[date] = []
    day = start
    for _ in range(count * 7 + 60):
        text = day.strftime("%Y-%m-%d")
        if last is not None and text > last:
            raise ValueError(f"the holiday calendar ends on {last}: {count} trading days from {start} run past it")
        if text not in holidays and day.weekday() < 5:
            days.append(day)
            if len(days) == count:
                return days
        day += timedelta(days=1)
    raise ValueError(f"the holiday calendar has too few trading days after {start}")


def trading_day_of(timestamp: float, holidays: AbstractSet[str] | None = None) -> date:
    """The trading day a tick at ``timestamp`` (epoch seconds) counts in, the exchange's way.

    A tick from the night session's start (15:00) on counts in the next trading day, and so does one
    before the session cut (05:00) of the morning after; any other tick counts in its own date, moved on
    to the next trading day when that date has no session.
    """
    local = datetime.fromtimestamp(timestamp, timezone(timedelta(seconds=TAIPEI_OFFSET)))
    day = local.date()
    if local.time() >= NIGHT_SESSION[0]:
        day += timedelta(days=1)
    # Before the cut it is still the night that began the evening before, which counts in the first
    # trading day from this date on: the same rule as a tick of the day.
    closed = holiday_dates() if holidays is None else holidays
    for _ in range(60):
        if day.weekday() < 5 and day.strftime("%Y-%m-%d") not in closed:
            return day
        day += timedelta(days=1)
    return day
