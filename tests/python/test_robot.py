"""tarsa.Robot on the simulated robot: values in SI units against the model, the claim, and the
stop routine on the bus however the program ends."""

import math
import signal
import time

import numpy as np
import pytest

import tarsa
from conftest import STOP, child, load, mark, robot_writes, wait_line


@pytest.fixture
def robot():
    load()
    with tarsa.Robot() as r:
        yield r


def test_sensors_in_si_units(robot):
    # The model's battery at 80 %: 7400 + 8 * 30 mV, 150 mA drawn standing still, 25.0 degC.
    b = robot.battery()
    assert (b.voltage, b.current, b.temperature, b.charge, b.charging) == \
        pytest.approx((7.64, -0.15, 25.0, 80, False))
    assert (b.capacity_mah, b.remaining_mah, b.present) == (2200, 1760, True)
    imu = robot.imu()
    assert imu.acceleration.z == pytest.approx(1.0, abs=0.01)
    assert abs(imu.rate.z) < 0.5
    # At the middle of the 3 m room: walls 1.5 m away ahead and abeam, 2.12 m at 45 degrees,
    # less the body's 70 mm radius.
    us = robot.ultrasonic()
    # Whole centimetres on the wire.
    wall = np.where(np.abs(robot.ULTRASONIC_ANGLES) == np.pi / 4, 1.5 * math.sqrt(2), 1.5)
    assert us == pytest.approx(wall - 0.07, abs=0.015)
    assert robot.infrared().shape == (12,) and robot.infrared().max() < 20  # noise only
    assert robot.firmware() == 0x12


def test_known_drive_distance(robot):
    t0 = time.monotonic()
    robot.drive(0.2, 0.0)
    t1 = time.monotonic()
    time.sleep(1.0)
    t2 = time.monotonic()
    robot.stop()
    t3 = time.monotonic()
    # 0.2 m/s is 294 wheel units of 0.678181 mm/s, reached within 30 ms (ramps of 100 units per
    # 10 ms); the encoders count whole units.
    v = 294 * 0.678181e-3
    pose = robot.odometry()
    assert v * (t2 - t1) - 0.004 <= pose.x <= v * (t3 - t0)
    assert pose.y == pytest.approx(0, abs=1e-9) and pose.theta == pytest.approx(0, abs=1e-9)
    w = robot.wheels_state()
    assert w.left_mm == pytest.approx(pose.x * 1000, abs=1) and w.left_mm_s == 0
    # Turning on the spot at 1 rad/s after a stop: the controller comes back on.
    robot.drive(0.0, 1.0)
    time.sleep(0.5)
    assert robot.odometry().theta > 0.4


def test_bad_arguments(robot):
    before = mark()
    for bad in [lambda: robot.drive(math.nan, 0), lambda: robot.drive(0.7, 0),
                lambda: robot.wheels(0, -700), lambda: robot.leds((64, 0, 0))]:
        with pytest.raises(tarsa.ArgumentError):
            bad()
    assert robot_writes(before) == []  # nothing reached the robot


def test_stop_routine_after_an_exception():
    load()
    before = mark()
    with pytest.raises(ZeroDivisionError):
        with tarsa.Robot() as r:
            r.drive(0.1, 0)
            1 / 0
    assert robot_writes(before)[-3:] == STOP
    with pytest.raises(tarsa.Error, match="closed"):
        r.drive(0.1, 0)


def test_claim_and_interrupt():
    load()
    holder = child("import tarsa, time\nr = tarsa.Robot('holder')\nr.drive(0.1, 0)\n"
                   "print('driving')\ntime.sleep(60)\n")
    try:
        wait_line(holder, "driving")
        with pytest.raises(tarsa.RobotBusy) as busy:
            tarsa.Robot()
        assert busy.value.holder == f"holder (pid {holder.pid})"
        before = mark()
        holder.send_signal(signal.SIGINT)
        assert holder.wait(20) == -signal.SIGINT  # KeyboardInterrupt, unhandled
    finally:
        holder.kill()
    assert robot_writes(before) == STOP
    with tarsa.Robot():  # free again
        pass


def test_missing_robot():
    # A robot that never answers, not even the opening probe.
    load('extends = "builtin"\n[[fault]]\nkind = "error"\naddr = 0x1F\nnth = 1\ncount = 1000\n')
    with pytest.raises(tarsa.DeviceNotFound) as e:
        tarsa.Robot()
    assert e.value.reports == ["no device found with (0,31)"]
    load()
    tarsa.Robot().close()  # the failed start gave the claim back
