"""What every benchmark worker shares: the records, the clock and the memory
probe."""

import os
import struct
import time

MASK64 = (1 << 64) - 1


def mix(x):
    """The bijection of engine_bench.cc: distinct indexes give distinct keys."""
    x = (x + 0x9E3779B97F4A7C15) & MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK64
    return x ^ (x >> 31)


def make_records(num):
    """|num| distinct random 8-byte keys and their 8-byte values."""
    pack = struct.Struct("<Q").pack
    keys = [pack(mix(i)) for i in range(num)]
    values = [pack(mix(i ^ 0x5555555555555555)) for i in range(num)]
    return keys, values


def memory_usage():
    """Anonymous resident memory of this process in bytes (RssAnon), or -1: the
    heap, without the file pages that memory-mapped stores map from the page
    cache."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return -1


def dir_size(path):
    total = 0
    for folder, _, files in os.walk(path):
        for name in files:
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def timed(func, *args):
    """Seconds spent in func(*args). Every figure of the benchmark comes from here."""
    start = time.perf_counter()
    func(*args)
    return time.perf_counter() - start


def rate(count, func, *args):
    """Operations per second of func(*args), which makes |count| operations."""
    return count / timed(func, *args)


def ms_per_call(func, args_list, budget=2.0, min_calls=5):
    """Milliseconds per call of func over args_list, stopping early once
    |budget| seconds are spent and at least |min_calls| calls were made, so that
    a slow call does not stretch the whole run."""
    done = [0]

    def loop():
        deadline = time.perf_counter() + budget
        for i, args in enumerate(args_list):
            func(*args)
            if i >= min_calls and i % 16 == 0 and time.perf_counter() > deadline:
                done[0] = i + 1
                return
        done[0] = len(args_list)

    return timed(loop) * 1000.0 / done[0]
