"""Regenerate static/holidays_search_from_2017.csv from a maintained trading calendar.

Dev-time only (needs exchange-calendars, which the package does not depend on):

    python3 -m venv /tmp/calvenv && /tmp/calvenv/bin/pip install exchange-calendars
    /tmp/calvenv/bin/python tools/make_holidays.py [--end 2026-12-31]

The file lists every calendar date without a Taiwan stock exchange session:
exchange holidays, ad-hoc closures (typhoon days) and every Saturday and
Sunday. Weekends must be listed: the futures weekend rule keeps early-morning
weekend minutes unless the previous calendar day is in the set.
"""

import argparse
import csv
import datetime as dt
from pathlib import Path

import exchange_calendars as xc
import pandas as pd

FIRST = dt.date(2017, 1, 1)
OUT = Path(__file__).resolve().parent.parent / "src/zopt_kelv_backtest/static/holidays_search_from_2017.csv"

# Closures the calendar library did not know of when this was last run
# (checked against exchange-calendars 4.13.3). Drop an entry once the
# library lists it; the script reports which ones it already knows.
EXTRA_CLOSURES = {
    dt.date(2024, 10, 31): "Typhoon Kong-rey",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # Holidays are announced a year ahead; do not go past what is published.
    ap.add_argument("--end", default="2026-12-31", help="last date covered (YYYY-MM-DD)")
    ap.add_argument("--out", default=str(OUT))
    args = ap.parse_args()
    last = dt.date.fromisoformat(args.end)

    # The calendar's own bounds must enclose the range, or sessions get clipped.
    cal = xc.get_calendar("XTAI", start=str(FIRST - dt.timedelta(days=60)),
                          end=str(last + dt.timedelta(days=60)))
    sessions = {ts.date() for ts in cal.sessions_in_range(str(FIRST), str(last))}

    for day, why in sorted(EXTRA_CLOSURES.items()):
        if day not in sessions:
            print(f"note: the calendar already knows {day} ({why}); the extra entry can go")
        sessions.discard(day)

    closed = []
    day = FIRST
    while day <= last:
        # Every weekend day is listed, even if a calendar ever showed a session on it.
        if day.weekday() >= 5 or day not in sessions:
            closed.append(day)
        day += dt.timedelta(days=1)

    with open(args.out, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["Date"])
        for d in closed:
            w.writerow([d.strftime("%Y-%m-%d")])
    weekdays = sum(1 for d in closed if d.weekday() < 5)
    print(f"wrote {len(closed)} dates ({weekdays} weekday closures) "
          f"{FIRST}..{last} to {args.out} (exchange-calendars {xc.__version__}, pandas {pd.__version__})")


if __name__ == "__main__":
    main()
