"""Native indicator classes; import them from `zopt_kelv_backtest.indicators`."""
