"""nuvra: fast numerical functions for time series and multichannel signals."""

from . import _rust
from ._rust import *  # noqa: F401,F403

__all__ = list(_rust.__all__)
