"""Constants shared by the back-tester and its native core."""

import os
from dataclasses import dataclass
from enum import Enum


class Action(Enum):
    BUY = "Buy"
    SELL = "Sell"


class OrderCond(Enum):
    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


@dataclass
class BasicInfo:
    # Root of every output file (trade log, reports). Relative paths are
    # resolved against the working directory at the time a file is written.
    data_dir: str = os.path.join(".", "backtest_output")


BASIC_INFO = BasicInfo()

# NT$ value of one index point of each TAIFEX index-future product. Keys are
# product codes, not contract codes: "TXFA4" is a contract of "TXF".
FutureIndexContractValue = {
    "TXF": 200,  # TAIEX futures
    "MXF": 50,  # mini-TAIEX futures
    "TMF": 10,  # micro TAIEX futures
    "EXF": 4000,  # electronic sector index futures
    "FXF": 1000,  # finance sector index futures
    "T5F": 100,  # Taiwan 50 index futures
    "XIF": 100,  # non-finance non-electronics index futures
    "GTF": 4000,  # TPEx 200 index futures
}
