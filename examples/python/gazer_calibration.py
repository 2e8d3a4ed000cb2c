#!/usr/bin/env python3
"""Calibrates the StarGazer: turns the robot once on the spot, prints the fitted error ellipse,
and the position before and after the correction.

    tarsa-sim -- python3 gazer_calibration.py

Positions in metres relative to the landmark in view, angles in radians.
"""

import sys

import tarsa

tarsa.init(sys.argv)


def show(label, p):
    if p is None:
        print(f"{label}: no landmark in view")
    else:
        print(f"{label}: x={p.x:+.3f} m y={p.y:+.3f} m heading={p.heading:+.3f} rad"
              f" (landmark {p.landmark})")


with tarsa.StarGazer() as gazer, tarsa.Robot() as robot:
    show("raw      ", gazer.position(corrected=False, timeout=2.0))
    print("turning once on the spot; keep the robot clear...", flush=True)
    try:
        cal = gazer.calibrate(robot)
    except tarsa.CalibrationError as e:
        print(f"calibration failed: {e}")
        if e.calibration is None:
            sys.exit(1)
        cal = e.calibration
    print(f"centre    x0={cal.x0:+.4f} m y0={cal.y0:+.4f} m")
    print(f"semi-axes a={cal.axis_a:.4f} m b={cal.axis_b:.4f} m, orientation {cal.angle:+.3f} rad")
    print(f"residuals x={cal.residuals[0]:.4f} m y={cal.residuals[1]:.4f} m")
    show("corrected", gazer.position(corrected=True, timeout=2.0))
