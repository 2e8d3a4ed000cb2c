"""Shared by the Python package's tests, which run under tarsa-sim: the simulator's control
calls (through the preload, found in this process) and its trace."""

import ctypes
import json
import os
import subprocess
import sys

import pytest

_sim = ctypes.CDLL(None)


def _fn(name, restype, *argtypes):
    try:
        f = getattr(_sim, name)
    except AttributeError:
        pytest.fail("run under tarsa-sim", pytrace=False)
    f.restype = restype
    f.argtypes = argtypes
    return f


def load(scenario=""):
    """Stops the library and replaces the simulated board with the scenario text ("" the
    built-in board); the package's next object starts the library on the new board."""
    ctypes.CDLL("libtarsa.so.2").vx_exit()
    assert _fn("tarsa_sim_load_scenario", ctypes.c_int, ctypes.c_char_p)(scenario.encode()) == 0


def mark():
    return _fn("tarsa_sim_trace_seq", ctypes.c_ulong)()


def trace_since(seq, dev=None):
    path = _fn("tarsa_sim_trace_path", ctypes.c_char_p)().decode()
    out = []
    with open(path) as f:
        for line in f:
            try:
                r = json.loads(line)
            except ValueError:
                continue  # a line another process is still writing
            if r.get("seq", 0) > seq and (dev is None or r.get("dev") == dev):
                out.append(r)
    return out


def robot_writes(seq):
    """The robot bus's writes since `seq`, as hexadecimal frames."""
    return [r["data"] for r in trace_since(seq, "/dev/i2c-2") if r.get("op") == "write"]


def gpio_level(pin):
    return _fn("tarsa_sim_gpio_level", ctypes.c_int, ctypes.c_int)(pin)


# The stop routine's frames: wheel speeds 0, controller mode 0, RGB LEDs off.
STOP = ["1800000000", "1700", "02000000000000000000"]


def child(code):
    """A Python process running `code` on the same simulated board."""
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                         env=dict(os.environ, PYTHONUNBUFFERED="1"))
    return p


def wait_line(p, text):
    for line in p.stdout:
        if text in line:
            return
    pytest.fail(f"the child ended without '{text}'")
