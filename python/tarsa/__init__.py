"""The Tarsa4 robot from Python, in SI units.

Lengths in metres (wheel quantities in millimetres, as the names say), angles in radians, times
in seconds, x forward, y to the left, angles counter-clockwise positive seen from above. Every
failure of the library raises a ``tarsa.Error``; nothing returns a wrong value silently.

    import tarsa
    with tarsa.Robot() as robot:            # claims the robot; stops it however the block ends
        robot.drive(0.1, 0.0)               # 0.1 m/s forward
        ...
        print(robot.odometry())             # Pose(x=..., y=..., theta=...)

Under the board simulator the same script runs unchanged: ``tarsa-sim -- python3 script.py``.
"""

from __future__ import annotations

import atexit
import math
import os
import signal
import sys
import threading
import warnings
import weakref
from typing import Iterable, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _tarsa
from ._errors import (ArgumentError, CalibrationError, DeviceNotFound, Error, RobotBusy,
                      Timeout)

__all__ = [
    "init", "Robot", "RangeFinder", "Camera", "StarGazer", "Gpio", "Pwm",
    "Pose", "Wheels", "Battery", "Vector3", "Imu", "Position", "Calibration",
    "Error", "DeviceNotFound", "Timeout", "ArgumentError", "RobotBusy", "CalibrationError",
]

#: Distance between the wheels' contact points, metres.
WHEEL_BASE_M: float = _tarsa.WHEEL_BASE_MM / 1000.0
#: Fastest wheel speed, mm/s (the motors saturate beyond it).
MAX_WHEEL_SPEED_MM_S: float = _tarsa.SPEED_UNITS_MAX * _tarsa.MM_PER_UNIT


def init(argv: Optional[Sequence[str]] = None) -> None:
    """Starts the library once per process: configuration, buses, PWM and GPIO.

    ``argv`` is a command line as ``sys.argv`` gives it (program name first) carrying the
    library's options ("-d N", "--i2c-device PATH", ...); None reads no option. The classes call
    this themselves; call it first only to pass options. Raises Error when the library cannot
    start, or when options come after it has started.
    """
    if _tarsa.started():
        if argv is not None and len(argv) > 1:
            raise Error("the library has started already: call tarsa.init(argv) first")
        return
    _tarsa.init([str(a) for a in argv] if argv is not None else [])


# ---- values ----

class Pose(NamedTuple):
    """Pose in the odometry frame: x, y in metres, theta in radians in (-pi, pi]."""
    x: float
    y: float
    theta: float


class Wheels(NamedTuple):
    """Wheel encoders as distances (mm, since the robot was opened) and speeds (mm/s)."""
    left_mm: float
    right_mm: float
    left_mm_s: float
    right_mm_s: float


class Battery(NamedTuple):
    """The battery monitor: voltage (V), current (A, positive while charging), temperature
    (degrees C), charge (%), charging, remaining and full capacity (mAh), present."""
    voltage: float
    current: float
    temperature: float
    charge: int
    charging: bool
    remaining_mah: int
    capacity_mah: int
    present: bool


class Vector3(NamedTuple):
    x: float
    y: float
    z: float


class Imu(NamedTuple):
    """Accelerations in g (z +1 at rest) and rotation rates in degrees per second."""
    acceleration: Vector3
    rate: Vector3


class Position(NamedTuple):
    """A StarGazer position: x, y (m) relative to the landmark in view, heading (rad, in
    (-pi, pi]), and that landmark's number."""
    x: float
    y: float
    heading: float
    landmark: int


class _Ellipse(NamedTuple):
    x0: float
    y0: float
    angle: float
    axis_a: float
    axis_b: float


class Calibration(_Ellipse):
    """The StarGazer calibration's ellipse: centre x0, y0 (m), orientation angle (rad), semi-axes
    axis_a, axis_b (m). ``residuals`` (an attribute) holds the fit's residuals in x and y (m)."""
    residuals: Tuple[float, float] = (math.nan, math.nan)


def _calibration(v: Sequence[float]) -> Calibration:
    c = Calibration(v[0] / 100, v[1] / 100, math.radians(v[2]), v[3] / 100, v[4] / 100)
    c.residuals = (v[5] / 100, v[6] / 100)
    return c


def _wrap(angle: float) -> float:
    a = math.remainder(angle, 2 * math.pi)
    return math.pi if a == -math.pi else a


def _finite(value: float, name: str) -> float:
    v = float(value)
    if not math.isfinite(v):
        raise ArgumentError(f"{name} is {v}: a finite number is needed")
    return v


# ---- the robot ----

_robots: "weakref.WeakSet[Robot]" = weakref.WeakSet()
_claims = 0
_lock = threading.Lock()


def _on_terminate(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def _guard_signals() -> None:
    # A terminating signal unwinds the program as an exception does, so that its robots stop.
    if threading.current_thread() is not threading.main_thread():
        return
    for sig in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(sig) == signal.SIG_DFL:
            signal.signal(sig, _on_terminate)


@atexit.register
def _stop_all() -> None:
    for robot in list(_robots):
        try:
            robot.close()
        except Error as e:
            print(f"tarsa: stopping the robot at exit: {e}", file=sys.stderr)


class Robot:
    """The robot base, claimed for this process.

    Opening claims the robot (another program holding it raises RobotBusy, naming it), readies
    it for driving and zeroes its odometry. The stop routine (wheels 0, controller off, LEDs off)
    runs when the ``with`` block ends, however it ends (exception, Ctrl-C, SIGTERM), at
    ``close()``, and at interpreter exit.
    """

    #: Bearings of the ultrasonic sensors, radians, in the order ultrasonic() gives them.
    ULTRASONIC_ANGLES = np.radians(np.array(_tarsa.US_BEARINGS_DEG, dtype=np.float64))
    #: Bearings of the 12 infrared sensors, radians, in the order infrared() gives them.
    INFRARED_ANGLES = np.radians(np.arange(12, dtype=np.float64) * _tarsa.IR_SPACING_DEG)

    def __init__(self, name: Optional[str] = None) -> None:
        """``name`` is recorded with the claim for others to see (default: the script's name)."""
        global _claims
        self._closed = True
        with _lock:
            if _claims:
                raise Error("the robot is open already in this process: use that Robot")
            _tarsa.claim(name or os.path.basename(sys.argv[0] or "") or "python3")
            try:
                self._link = _tarsa.Robot()
                self._link.drive_start()
            except BaseException:
                if _claims == 0:
                    _tarsa.unclaim()
                raise
            _claims += 1
        self._closed = False
        self._ready = True
        _robots.add(self)
        _guard_signals()

    def __enter__(self) -> "Robot":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            try:
                self.close()
            except Error:
                pass

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Runs the stop routine and gives the claim up (once; later calls do nothing). Raises
        Error when the robot refused the stop routine (the claim is given up all the same)."""
        global _claims
        if self._closed:
            return
        self._closed = True
        _robots.discard(self)
        try:
            self._link.stop()
        finally:
            with _lock:
                _claims -= 1
                if _claims == 0:
                    _tarsa.unclaim()

    def _open(self) -> "_tarsa.Robot":
        if self._closed:
            raise Error("the robot is closed")
        return self._link

    def _set(self, left: int, right: int) -> None:
        for s in (left, right):
            if abs(s) > _tarsa.SPEED_UNITS_MAX:
                raise ArgumentError(
                    f"a wheel speed of {s * _tarsa.MM_PER_UNIT:.0f} mm/s is beyond the motors' "
                    f"{MAX_WHEEL_SPEED_MM_S:.0f} mm/s")
        link = self._open()
        if not self._ready:
            link.set_mode(2)
            self._ready = True
        link.set_speed(left, right)

    def drive(self, linear_m_s: float, angular_rad_s: float) -> None:
        """Drives at ``linear_m_s`` forward (m/s) while turning at ``angular_rad_s`` (rad/s,
        counter-clockwise positive). Raises ArgumentError for a speed beyond the motors."""
        v = _finite(linear_m_s, "linear_m_s")
        w = _finite(angular_rad_s, "angular_rad_s")
        self._set(*_tarsa.wheel_speeds(v * 1000.0, w))

    def wheels(self, left_mm_s: float, right_mm_s: float) -> None:
        """Sets the wheel speeds, mm/s at the rim, positive forward."""
        self._set(_tarsa.speed_units(_finite(left_mm_s, "left_mm_s")),
                  _tarsa.speed_units(_finite(right_mm_s, "right_mm_s")))

    def stop(self) -> None:
        """Runs the stop routine now: wheels 0, controller off, LEDs off. The next drive() or
        wheels() starts the controller again."""
        self._open().stop()
        self._ready = False

    def odometry(self) -> Pose:
        """The pose from the wheel encoders since the robot was opened (metres, radians).

        Call it at least every few seconds while driving: a change beyond about 3.4 m between
        two calls is taken for a restart of the counters, and warns (RuntimeWarning)."""
        x, y, theta, _, lost = self._open().odometry()
        if lost:
            warnings.warn("odometry: the encoders jumped (a restart, or too long between calls);"
                          " the pose kept its value", RuntimeWarning, stacklevel=2)
        return Pose(x, y, theta)

    def wheels_state(self) -> Wheels:
        """Encoder positions (mm) and actual wheel speeds (mm/s)."""
        link = self._open()
        pl, pr = link.position()
        sl, sr = link.speed()
        k = _tarsa.MM_PER_UNIT
        return Wheels(pl * k, pr * k, sl * k, sr * k)

    def battery(self) -> Battery:
        """The battery monitor's record in volts, amperes, degrees Celsius and percent."""
        return Battery(*self._open().battery())

    def imu(self) -> Imu:
        """Accelerometer (g) and gyroscope (deg/s), each the mean of its 10 samples."""
        acc, rate = self._open().imu()
        return Imu(Vector3(*acc), Vector3(*rate))

    def infrared(self, ambient: bool = False) -> np.ndarray:
        """Levels of the 12 infrared sensors (0 to 4095; proximity, or ambient light), at
        INFRARED_ANGLES. A proximity level is 0 with nothing within about 0.15 m."""
        return np.array(self._open().infrared(ambient), dtype=np.int32)

    def ultrasonic(self) -> np.ndarray:
        """Ranges of the 5 ultrasonic sensors in metres from the body's edge, at
        ULTRASONIC_ANGLES (left to right); inf where nothing is within 4 m."""
        return np.array(self._open().ultrasonic(), dtype=np.float64)

    def leds(self, first: Sequence[int] = (0, 0, 0), second: Sequence[int] = (0, 0, 0),
             third: Sequence[int] = (0, 0, 0)) -> None:
        """Sets the three RGB LEDs, each (red, green, blue) of 0 to 63; left out: off."""
        levels = [int(c) for led in (first, second, third) for c in led]
        if len(levels) != 9 or any(not 0 <= c <= 63 for c in levels):
            raise ArgumentError("each LED takes three levels of 0 to 63 (red, green, blue)")
        self._open().rgb_leds(levels)

    def firmware(self) -> int:
        """The microcontroller's firmware revision byte."""
        return self._open().revision()


# ---- range finder ----

class RangeFinder:
    """The laser range finder: 682 ranges over 240 degrees.

    Opening switches its power on (``power=True``) and waits for it to start (up to 5 s);
    closing (or the end of the ``with`` block) switches the laser and then the power off.
    """

    DEFAULT_PORT = "/dev/ttyACM0"
    #: Bearing of each range, radians in the robot's frame (0 ahead, positive to the left): the
    #: sensor turns 1024 steps a turn, its front at step 384, its first range at step 44.
    angles: np.ndarray = ((np.arange(_tarsa.LRF_DISTANCES) + 44 - 384)
                          * (2 * np.pi / 1024)).astype(np.float32)
    angles.flags.writeable = False

    def __init__(self, port: Optional[str] = None, power: bool = True) -> None:
        self.port = port or self.DEFAULT_PORT
        self._power = power
        self._lrf: Optional[_tarsa.RangeFinder] = None
        if power:
            RangeFinder.power_on()
        try:
            self._lrf = _tarsa.RangeFinder(self.port)
        except BaseException:
            if power:
                _tarsa.lrf_power(False)
            raise

    @staticmethod
    def power_on() -> None:
        """Switches the sensor's power on (its port appears once it has started)."""
        init()
        _tarsa.lrf_power(True)

    @staticmethod
    def power_off() -> None:
        """Switches the sensor's power off."""
        init()
        _tarsa.lrf_power(False)

    def scan(self) -> np.ndarray:
        """One scan: float32 ranges in metres from the sensor, NaN where it measured nothing,
        at ``angles``. Waits for the sensor (about 0.2 s), up to 2 s (then Timeout)."""
        if self._lrf is None or self._lrf.closed:
            raise Error("the range finder is closed")
        return self._lrf.scan()

    def close(self) -> None:
        if self._lrf is None or self._lrf.closed:
            return
        self._lrf.close()
        if self._power:
            _tarsa.lrf_power(False)

    def __enter__(self) -> "RangeFinder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


# ---- camera ----

class Camera:
    """The camera, one per process: frames as numpy arrays, JPEG as bytes.

    ``width`` and ``height`` (pixels) are asked of the driver; the attributes of the same name
    hold what it granted. Closing releases the camera.
    """

    def __init__(self, width: int = 320, height: int = 240) -> None:
        if not (0 < int(width) <= 65500 and 0 < int(height) <= 65500):
            raise ArgumentError(f"a frame of {width} x {height} pixels")
        self._cam = _tarsa.Camera(int(width), int(height))

    @property
    def width(self) -> int:
        return self._cam.width

    @property
    def height(self) -> int:
        return self._cam.height

    def frame(self) -> np.ndarray:
        """Captures one frame: uint8 array of height x width x 3 (RGB), a new array each time."""
        return self._cam.frame()

    def jpeg(self, quality: int = 80, frame: Optional[np.ndarray] = None) -> bytes:
        """JPEG of a new frame, or of ``frame`` (H x W x 3 uint8), at ``quality`` 0 to 100."""
        if frame is None:
            frame = self.frame()
        return _tarsa.encode_jpeg(np.ascontiguousarray(frame, dtype=np.uint8), int(quality))

    def close(self) -> None:
        self._cam.close()

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        cam = getattr(self, "_cam", None)
        if cam is not None:
            cam.close()


# ---- StarGazer ----

class StarGazer:
    """The StarGazer localisation sensor on its serial port; opening starts its computation."""

    def __init__(self) -> None:
        self._gazer = _tarsa.StarGazer()

    def position(self, corrected: bool = True, timeout: float = 1.0) -> Optional[Position]:
        """The newest position (metres, radians), waiting up to ``timeout`` seconds for one (then
        Timeout); None while the sensor sees no landmark. ``corrected`` applies the last
        calibration."""
        p = self._gazer.position(bool(corrected), float(timeout))
        if p is None:
            return None
        x, y, _, heading_deg, landmark = p
        return Position(x / 100, y / 100, _wrap(math.radians(heading_deg)), landmark)

    def calibrate(self, robot: Robot) -> Calibration:
        """Turns ``robot`` once on the spot (about 13 s; keep it clear) and fits the sensor's
        position error; the fit is then used by position(corrected=True). Raises
        CalibrationError when it fails (after a poor fit, its ``calibration`` is in force)."""
        link = robot._open()
        robot._ready = False
        return _calibration(self._gazer.calibrate(link))

    def close(self) -> None:
        self._gazer.close()

    def __enter__(self) -> "StarGazer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        gazer = getattr(self, "_gazer", None)
        if gazer is not None:
            gazer.close()


# ---- GPIO and PWM ----

class Gpio:
    """One of the board's user pins, 70 to 87: an input, or an output driving ``value``."""

    FIRST, LAST = 70, 87

    def __init__(self, pin: int, output: bool = False, value: bool = False) -> None:
        if not self.FIRST <= int(pin) <= self.LAST:
            raise ArgumentError(f"GPIO {pin} is no user pin ({self.FIRST} to {self.LAST})")
        init()
        self.pin = int(pin)
        self.output = bool(output)
        _tarsa.gpio_dir(self.pin, not self.output, int(bool(value)))

    def read(self) -> bool:
        """The pin's level."""
        return _tarsa.gpio_read(self.pin)

    def write(self, value: bool) -> None:
        """Drives an output high (True) or low."""
        _tarsa.gpio_write(self.pin, bool(value))


class Pwm:
    """One of the board's two PWM outputs (0 or 1); stopped when the ``with`` block ends."""

    def __init__(self, output: int, frequency_hz: Optional[int] = None,
                 duty_percent: Optional[int] = None) -> None:
        if int(output) not in (0, 1):
            raise ArgumentError(f"PWM output {output}: the board has outputs 0 and 1")
        init()
        self.output = int(output)
        if frequency_hz is not None:
            self.frequency(frequency_hz)
        if duty_percent is not None:
            self.duty(duty_percent)

    def frequency(self, hz: int) -> None:
        """Sets the frequency, Hz (1 to 1e9); a duty cycle set before keeps its percentage."""
        _tarsa.pwm("period", self.output, int(hz))

    def duty(self, percent: int) -> None:
        """Sets the duty cycle, 0 to 100 % of the period (after a frequency)."""
        _tarsa.pwm("duty", self.output, int(percent))

    def start(self) -> None:
        _tarsa.pwm("start", self.output, 0)

    def stop(self) -> None:
        _tarsa.pwm("stop", self.output, 0)

    def __enter__(self) -> "Pwm":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
