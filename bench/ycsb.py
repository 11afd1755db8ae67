"""The YCSB core workloads, generated here with a fixed seed.

Keys are "user" followed by the FNV-1a hash of the record number, as the
YCSB client makes them (hashed insert order). Requests follow the scrambled
Zipfian distribution of the YCSB core properties: a Zipfian draw (constant
0.99) over a fixed space of 10^10 items, whose zeta is a published constant,
FNV-hashed and reduced modulo the record count, so that the popular records
are spread over the key space instead of clustered at its start.

Workloads: A 50% read / 50% update; B 95% read / 5% update; C 100% read;
E 95% scans of 1 to 100 records (uniform) from a chosen key / 5% inserts of
new records; F 50% read / 50% read-modify-write.
"""

import random

ZIPFIAN_CONSTANT = 0.99
# The item space and its zeta(n, 0.99) that the scrambled Zipfian draws from.
SCRAMBLED_ITEM_COUNT = 10000000000
SCRAMBLED_ZETAN = 26.46902820178302
FNV_OFFSET_BASIS_64 = 0xCBF29CE484222325
FNV_PRIME_64 = 1099511628211
MASK64 = (1 << 64) - 1
MAX_SCAN_LENGTH = 100
VALUE_POOL = 64

READ, UPDATE, RMW, INSERT, SCAN = range(5)

# Workload name -> list of (operation, proportion).
WORKLOADS = {
    "A": [(READ, 0.5), (UPDATE, 0.5)],
    "B": [(READ, 0.95), (UPDATE, 0.05)],
    "C": [(READ, 1.0)],
    "E": [(SCAN, 0.95), (INSERT, 0.05)],
    "F": [(READ, 0.5), (RMW, 0.5)],
}


def fnv_hash64(value):
    """FNV-1a over the 8 little-endian bytes of |value|, as a non-negative
    64-bit signed integer (the absolute value of the signed result)."""
    h = FNV_OFFSET_BASIS_64
    for _ in range(8):
        h ^= value & 0xFF
        value >>= 8
        h = (h * FNV_PRIME_64) & MASK64
    if h >= 1 << 63:
        h = (1 << 64) - h
    return h & ((1 << 63) - 1)


def record_key(num):
    return b"user%d" % fnv_hash64(num)


class ScrambledZipfian:
    """Record numbers in [0, count) drawn by the scrambled Zipfian distribution."""

    def __init__(self, count, rng):
        self.count = count
        self.rng = rng
        theta = ZIPFIAN_CONSTANT
        items = SCRAMBLED_ITEM_COUNT + 1
        zeta2 = 1.0 + 0.5 ** theta
        self.theta = theta
        self.alpha = 1.0 / (1.0 - theta)
        self.zetan = SCRAMBLED_ZETAN
        self.items = items
        self.eta = (1.0 - (2.0 / items) ** (1.0 - theta)) / (1.0 - zeta2 / self.zetan)
        self.half_pow_theta = 1.0 + 0.5 ** theta

    def next(self):
        u = self.rng.random()
        uz = u * self.zetan
        if uz < 1.0:
            draw = 0
        elif uz < self.half_pow_theta:
            draw = 1
        else:
            draw = int(self.items * (self.eta * u - self.eta + 1.0) ** self.alpha)
        return fnv_hash64(draw) % self.count


def make_values(size, seed):
    """A small pool of random values of |size| bytes, written in rotation."""
    rng = random.Random(seed)
    return [rng.randbytes(size) for _ in range(VALUE_POOL)]


def make_operations(workload, keys, count, value_size, seed):
    """|count| operations of |workload| over a store loaded with the records
    of |keys| (record_key(0), record_key(1) ...): (READ, key, None),
    (UPDATE | RMW | INSERT, key, value), (SCAN, key, length)."""
    rng = random.Random("%s-%d" % (workload, seed))
    records = len(keys)
    chooser = ScrambledZipfian(records, rng)
    values = make_values(value_size, seed + 1)
    mix = WORKLOADS[workload]
    ops = []
    next_insert = records
    for i in range(count):
        u = rng.random()
        op = mix[-1][0]
        for candidate, share in mix:
            if u < share:
                op = candidate
                break
            u -= share
        if op == INSERT:
            ops.append((INSERT, record_key(next_insert), values[i % VALUE_POOL]))
            next_insert += 1
        elif op == SCAN:
            ops.append((SCAN, keys[chooser.next()], rng.randint(1, MAX_SCAN_LENGTH)))
        elif op == READ:
            ops.append((READ, keys[chooser.next()], None))
        else:
            ops.append((op, keys[chooser.next()], values[i % VALUE_POOL]))
    return ops


def run_operations(ops, set_, get, seek):
    """Runs the operations through a store's calls; a read that finds nothing
    is a fault, since every read key was loaded."""
    for op, key, arg in ops:
        if op == READ:
            if get(key) is None:
                raise RuntimeError("record not found: %r" % key)
        elif op == UPDATE or op == INSERT:
            set_(key, arg)
        elif op == RMW:
            if get(key) is None:
                raise RuntimeError("record not found: %r" % key)
            set_(key, arg)
        else:
            seek(key, arg)
