"""Example back-test (grows with the package)."""

import sys


def main(argv=None):
    from zopt_kelv_backtest.modules.positions.positions import QuoteManager  # noqa: F401

    print("example back-test: not built yet", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
