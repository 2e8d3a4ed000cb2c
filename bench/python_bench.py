"""tarsa.RangeFinder.scan() and tarsa.Camera.frame() against the library's calls they wrap
(vx_lrf_GetDistances, take_one_image, called through ctypes into a buffer of their own), on the
simulated devices: time per call, the binding's share of it, and the memory a frame() allocates.

    tarsa-sim -- bench_python [--count N]
"""

import argparse
import ctypes
import statistics
import time
import tracemalloc

import numpy as np

import tarsa

parser = argparse.ArgumentParser()
parser.add_argument("--count", type=int, default=30, help="calls of each kind")
count = parser.parse_args().count

lib = ctypes.CDLL("libtarsa.so.2")
tarsa.init()


def timed(fn):
    """Wall time per call (mean, stdev, s) and process CPU time per call (s)."""
    fn()  # warm up
    wall = []
    cpu0 = time.process_time()
    for _ in range(count):
        t = time.perf_counter()
        fn()
        wall.append(time.perf_counter() - t)
    return statistics.mean(wall), statistics.stdev(wall), (time.process_time() - cpu0) / count


def report(what, c_call, binding):
    (cm, cs, ccpu), (bm, bs, bcpu) = c_call, binding
    print(f"{what}: C call {cm * 1e3:8.2f} ms (sd {cs * 1e3:.2f}, cpu {ccpu * 1e3:.3f} ms);"
          f" binding {bm * 1e3:8.2f} ms (sd {bs * 1e3:.2f}, cpu {bcpu * 1e3:.3f} ms)")
    print(f"{what}: overhead {100 * (bm - cm) / cm:+.2f} % of the call's time (wall),"
          f" extra cpu {100 * (bcpu - ccpu) / cm:+.3f} % of it")


# ---- range finder ----
distances = (ctypes.c_int32 * 682).in_dll(lib, "vx_lrf_DistanceData")
assert lib.vx_lrf_Power_On() == 0
handle = lib.vx_lrf_Init(b"/dev/ttyACM0")
assert handle >= 0
c_scan = timed(lambda: lib.vx_lrf_GetDistances(handle) == 0 or 1 / 0)
lib.vx_lrf_Close(handle)
with tarsa.RangeFinder(power=False) as lrf:
    py_scan = timed(lrf.scan)
report("scan() ", c_scan, py_scan)

# ---- camera ----
w, h = ctypes.c_int(320), ctypes.c_int(240)
assert lib.vx_camera_init(ctypes.byref(w), ctypes.byref(h)) >= 0
rgb = (ctypes.c_ubyte * (w.value * h.value * 3))()
c_frame = timed(lambda: lib.take_one_image(rgb) == 0 or 1 / 0)
lib.vx_camera_release()
with tarsa.Camera(320, 240) as cam:
    py_frame = timed(cam.frame)
    report("frame()", c_frame, py_frame)
    tracemalloc.start()
    frame = cam.frame()
    size, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"frame(): {peak} bytes allocated at the peak for a frame of {frame.nbytes} bytes"
          f" ({peak / frame.nbytes:.3f} frames); owns its data: {frame.flags.owndata}")
