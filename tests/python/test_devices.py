"""The range finder, camera, StarGazer, GPIO and PWM classes on the simulated board."""

import math
import threading
import time

import numpy as np
import pytest

import tarsa
from conftest import gpio_level, load


@pytest.fixture(autouse=True)
def board():
    load()


def test_range_finder_in_the_room():
    with tarsa.RangeFinder() as lrf:
        assert gpio_level(87) == 1  # powered
        # Other threads run while a scan waits on the sensor (about 0.2 s).
        done, ticks = threading.Event(), []

        def tick():
            while not done.is_set():
                ticks.append(1)
                time.sleep(0.002)

        ticker = threading.Thread(target=tick)
        ticker.start()
        ranges = lrf.scan()
        done.set()
        ticker.join()
        assert len(ticks) > 20
        assert ranges.dtype == np.float32 and ranges.shape == (682,)
        a = lrf.angles
        assert a[340] == 0 and a[0] == pytest.approx(-340 * 2 * math.pi / 1024)
        # The walls of the 3 m room around the robot at its middle, within the 10 mm noise.
        wall = 1.5 / np.maximum(np.abs(np.cos(a)), np.abs(np.sin(a)))
        assert ranges == pytest.approx(wall, abs=0.011)
    assert gpio_level(87) == 0
    with pytest.raises(tarsa.Error, match="closed"):
        lrf.scan()


def test_range_finder_missing():
    with pytest.raises(tarsa.DeviceNotFound) as e:
        tarsa.RangeFinder(port="/dev/ttyACM9", power=False)
    assert e.value.reports == ["Cannot open serial connexion to the LRF card as /dev/ttyACM9"]


def test_camera():
    with tarsa.Camera() as cam:
        frame = cam.frame()
        assert frame.shape == (240, 320, 3) and frame.dtype == np.uint8 and frame.std() > 0
        with pytest.raises(tarsa.Error, match="already open"):
            tarsa.Camera()
        jpeg = cam.jpeg(quality=90, frame=frame)
        assert jpeg[:2] == b"\xff\xd8" and jpeg[-2:] == b"\xff\xd9"
        with pytest.raises(tarsa.ArgumentError):
            cam.jpeg(quality=101, frame=frame)
        with pytest.raises(tarsa.ArgumentError):
            cam.jpeg(frame=frame[:, :, 0])
    with tarsa.Camera(64, 48) as cam:  # released: open again, at another size
        assert cam.frame().shape == (48, 64, 3)


def test_camera_missing():
    load('extends = "builtin"\n[[video.device]]\nnode = "/dev/video6"\nmodel = "stub"\n'
         'querycap_errno = 2\n')
    with pytest.raises(tarsa.Error):
        tarsa.Camera()


def test_stargazer_and_calibration():
    with tarsa.StarGazer() as gazer:
        # Below landmark 5 at the origin, heading along x: the sensor sits 80 mm from the turning
        # centre at 100 degrees, which the calibration finds and the correction takes off.
        p = gazer.position(corrected=False, timeout=2.0)
        offset = (0.08 * math.cos(math.radians(100)), 0.08 * math.sin(math.radians(100)))
        assert p.landmark == 5 and p.heading == pytest.approx(0, abs=0.02)
        assert (p.x, p.y) == pytest.approx(offset, abs=0.01)
        with tarsa.Robot() as robot:
            cal = gazer.calibrate(robot)
            assert len(cal) == 5 and max(cal.residuals) <= 0.05
            assert (cal.axis_a, cal.axis_b) == pytest.approx((0.08, 0.08), abs=0.01)
        p = gazer.position(timeout=2.0)
        assert (p.x, p.y) == pytest.approx((0, 0), abs=0.01)
    with pytest.raises(tarsa.Error, match="closed"):
        gazer.position()


def test_gpio_and_pwm():
    out = tarsa.Gpio(70, output=True, value=True)
    assert gpio_level(70) == 1
    out.write(False)
    assert gpio_level(70) == 0
    with pytest.raises(tarsa.ArgumentError):
        tarsa.Gpio(90)
    with tarsa.Pwm(1, frequency_hz=1000, duty_percent=25) as pwm:
        pwm.start()
        with pytest.raises(tarsa.Error) as e:
            pwm.duty(101)
        assert e.value.code == 22  # EINVAL
    with pytest.raises(tarsa.ArgumentError):
        tarsa.Pwm(2)
