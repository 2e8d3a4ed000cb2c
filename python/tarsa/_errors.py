"""Exceptions of the tarsa package: every failure of the library is one of them."""

from __future__ import annotations

from typing import Any, Sequence


class Error(Exception):
    """A call of the library failed.

    ``code`` is the library's result (a report code, a negated errno or a module's own result,
    as its header lists them); ``reports`` the messages the library reported during the call.
    """

    def __init__(self, message: str, code: int = 0, reports: Sequence[str] = (),
                 extra: Any = None) -> None:
        self.message = message
        self.code = code
        self.reports = list(reports)
        text = message if not self.reports else f"{message} ({'; '.join(self.reports)})"
        super().__init__(text)


class DeviceNotFound(Error):
    """The device's node or bus address is missing (not connected, not powered)."""


class Timeout(Error, TimeoutError):
    """The device did not answer in time."""


class ArgumentError(Error, ValueError):
    """An argument is outside what the device or the robot accepts."""


class RobotBusy(Error):
    """Another process holds the robot; ``holder`` names it ("NAME (pid N)")."""

    def __init__(self, message: str, code: int = 0, reports: Sequence[str] = (),
                 extra: Any = None) -> None:
        super().__init__(message, code, reports)
        self.holder = str(extra or "")


class CalibrationError(Error):
    """The StarGazer calibration failed. After a poor fit (code -4) ``calibration`` holds the
    fit, which is in force all the same; otherwise it is None."""

    def __init__(self, message: str, code: int = 0, reports: Sequence[str] = (),
                 extra: Any = None) -> None:
        super().__init__(message, code, reports)
        self.calibration = None
        if extra is not None:
            from . import _calibration
            self.calibration = _calibration(extra)


for _cls in (Error, DeviceNotFound, Timeout, ArgumentError, RobotBusy, CalibrationError):
    _cls.__module__ = "tarsa"  # as users name them
