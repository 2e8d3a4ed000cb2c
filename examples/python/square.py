#!/usr/bin/env python3
"""Drives a square on odometry and plots the path: odometry, the commanded square and, under
the simulator with --truth FILE, the robot's true path.

    tarsa-sim --truth truth.jsonl -- python3 square.py [--side 0.5] [--out square]

Writes OUT.png when matplotlib can be imported, else OUT.csv (t, x, y, theta of the odometry)
and, with a true path, OUT_truth.csv (times in both from the start of the run).
Distances in metres, angles in radians.
"""

import argparse
import json
import math
import os
import sys
import time

import tarsa

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--side", type=float, default=0.5, help="side of the square, m")
parser.add_argument("--speed", type=float, default=0.15, help="forward speed, m/s")
parser.add_argument("--out", default="square", help="output file name without its extension")
args, library_args = parser.parse_known_args()
tarsa.init([sys.argv[0]] + library_args)

PERIOD = 0.02  # s between odometry readings
path = []  # (t, x, y, theta)


def sample(robot):
    pose = robot.odometry()
    path.append((time.monotonic(), pose.x, pose.y, pose.theta))
    return pose


with tarsa.Robot() as robot:
    for side in range(4):
        start = sample(robot)
        robot.drive(args.speed, 0.0)
        while math.hypot(path[-1][1] - start.x, path[-1][2] - start.y) < args.side:
            time.sleep(PERIOD)
            sample(robot)
        heading = start.theta + math.pi / 2
        robot.drive(0.0, 0.8)
        while math.remainder(heading - sample(robot).theta, 2 * math.pi) > 0:
            time.sleep(PERIOD)
        robot.drive(0.0, 0.0)
    end = sample(robot)

print(f"odometry at the end: x={end.x:+.3f} m y={end.y:+.3f} m theta={end.theta:+.3f} rad")
commanded = [(0, 0), (args.side, 0), (args.side, args.side), (0, args.side), (0, 0)]

# The simulator's true pose, when it was asked to write one (tarsa-sim --truth FILE).
truth = []
truth_file = os.environ.get("TARSA_SIM_TRUTH")
if truth_file and os.path.getsize(truth_file) > 0:
    with open(truth_file) as f:
        for line in f:
            try:
                truth.append(json.loads(line))
            except ValueError:
                pass  # the line the simulator is writing now
    t = truth[-1]
    print(f"true pose at the end: x={t['x']:+.3f} m y={t['y']:+.3f} m theta={t['theta']:+.3f} rad"
          f" (odometry off by {math.hypot(end.x - t['x'], end.y - t['y']):.3f} m)")
else:
    print("no true pose (run under tarsa-sim --truth FILE): compared with the commanded square")
print(f"odometry's end off the commanded end by {math.hypot(end.x, end.y):.3f} m")

try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    with open(args.out + ".csv", "w") as f:
        f.write("t,x,y,theta\n")
        for t, x, y, theta in path:
            f.write(f"{t - path[0][0]:.3f},{x:.4f},{y:.4f},{theta:.4f}\n")
    print(f"wrote {args.out}.csv (matplotlib is not installed)")
    if truth:
        with open(args.out + "_truth.csv", "w") as f:
            f.write("t,x,y,theta\n")
            for p in truth:
                f.write(f"{p['t'] - path[0][0]:.3f},{p['x']:.4f},{p['y']:.4f},{p['theta']:.4f}\n")
        print(f"wrote {args.out}_truth.csv")
else:
    fig, ax = plt.subplots()
    ax.plot(*zip(*commanded), "k--", label="commanded")
    ax.plot([p[1] for p in path], [p[2] for p in path], label="odometry")
    if truth:
        ax.plot([p["x"] for p in truth], [p["y"] for p in truth], label="true (simulator)")
    ax.set_xlabel("x (m)")
    ax.set_ylabel("y (m)")
    ax.set_aspect("equal")
    ax.legend()
    fig.savefig(args.out + ".png")
    print(f"wrote {args.out}.png")
