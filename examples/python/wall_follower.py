#!/usr/bin/env python3
"""Follows the wall on the robot's right at a set distance, steering on the range finder.

    tarsa-sim -- python3 wall_follower.py [--distance 0.4] [--seconds 30]

Distances in metres, speeds in m/s and rad/s; Ctrl-C stops the robot.
"""

import argparse
import sys
import time

import numpy as np

import tarsa

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--distance", type=float, default=0.4, help="distance to keep from the wall, m")
parser.add_argument("--speed", type=float, default=0.12, help="forward speed, m/s")
parser.add_argument("--seconds", type=float, default=30.0, help="how long to follow, s")
args, library_args = parser.parse_known_args()
tarsa.init([sys.argv[0]] + library_args)


def nearest(ranges, angles, low_deg, high_deg):
    """Nearest range within a sector of bearings (degrees, counter-clockwise from ahead)."""
    sector = ranges[(angles >= np.radians(low_deg)) & (angles <= np.radians(high_deg))]
    return float(np.nanmin(sector)) if np.isfinite(sector).any() else np.inf


with tarsa.RangeFinder() as lrf, tarsa.Robot() as robot:
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        ranges = lrf.scan()
        ahead = nearest(ranges, lrf.angles, -20, 20)
        right = nearest(ranges, lrf.angles, -110, -60)
        if ahead < args.distance + 0.1:
            robot.drive(0.0, 0.8)  # a wall ahead: turn left on the spot
            state = "corner"
        elif right > args.distance + 0.3:
            robot.drive(args.speed, 0.0)  # no wall near on the right: go and find one ahead
            state = "search"
        else:
            # Too far from the wall: turn right (negative), too near: left; at most 0.8 rad/s.
            turn = float(np.clip(-2.5 * (right - args.distance), -0.8, 0.8))
            robot.drive(args.speed, turn)
            state = "follow"
        pose = robot.odometry()
        print(f"{state:6s} ahead={ahead:5.2f} m right={right:5.2f} m "
              f"pose=({pose.x:+.2f}, {pose.y:+.2f}, {pose.theta:+.2f})", flush=True)
