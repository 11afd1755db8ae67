#!/usr/bin/env python3
"""SIGKILL soak: no acknowledged record may be lost.

For each configuration, every round starts crash_writer on the database left by
the previous round (so a round's open restores a killed file, and may itself be
killed mid-restore), reads what the writer announces and acknowledges through a
pipe, and SIGKILLs it at a random moment: anywhere, inside the open (restore),
or inside a Rebuild or a Synchronize. A copy of the killed file is then opened
writable by "crash_writer dump", and its records must be exactly the
acknowledged state, or, for the one operation in flight, the state with it
applied. For the memory databases the contract is what was synchronized: the
state of the last acknowledged Synchronize, or of the one in flight.

TreeDBM keeps changed pages in its cache and writes them back when the cache
fills, at a Synchronize, a Rebuild or a Close, so its contract is per record:
each record is found as of the last acknowledged Synchronize or Rebuild, or
with a value it was given after that (a removal after it may be undone). Its
configurations run with small pages and a small cache, so that write-backs
between synchronizations happen often and a kill lands inside them.

A round whose records differ is a loss: its killed file is kept with a note of
the command that shows the fault, and the soak goes on from what was found.

Prints one line per configuration: rounds, kills (by phase), losses, records
lost or wrong, errors. Exits 1 when any configuration lost anything.
"""

import argparse
import fnmatch
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

KB = 1024

# name, PolyDBM parameters, value sizes, number of keys, Rebuild every N
# operations, Synchronize every N operations, extension.
HASH_BASE = "dbm=hash,num_buckets=997,fbp_capacity=64"
CONFIGS = []
for _mode, _mname in (("in_place", "inplace"), ("appending", "append")):
    for _file, _fname in (("MemoryMapParallelFile", "mmap"), ("PositionalParallelFile", "pos")):
        _params = f"{HASH_BASE},update_mode={_mode},file={_file}"
        CONFIGS.append((f"hash-{_mname}-{_fname}-small", _params, 0, 300, 64, 97, 0, ".mvh"))
        CONFIGS.append((f"hash-{_mname}-{_fname}-large", _params, 256 * KB, 1024 * KB, 6, 29, 0,
                        ".mvh"))
# From one bucket, with automatic growth and many keys, so that the rebuilds
# of growth come inside Sets again and again as the database fills.
for _mode, _mname, _file, _fname in (("in_place", "inplace", "MemoryMapParallelFile", "mmap"),
                                     ("appending", "append", "PositionalParallelFile", "pos")):
    CONFIGS.append((f"hash-grow-{_mname}-{_fname}",
                    f"dbm=hash,num_buckets=1,bucket_growth=on,fbp_capacity=64,"
                    f"update_mode={_mode},file={_file}", 0, 40, 20000, 0, 0, ".mvh"))
for _cls, _ext in (("tiny", ".mvmt"), ("baby", ".mvmb")):
    CONFIGS.append((f"{_cls}-small", f"dbm={_cls}", 0, 300, 64, 0, 23, _ext))
    CONFIGS.append((f"{_cls}-large", f"dbm={_cls}", 256 * KB, 1024 * KB, 6, 0, 4, _ext))
# TreeDBM, synchronized every few dozen operations: a small cache (256 pages)
# of small pages over 3000 keys makes the writer write pages back between
# synchronizations; "rebuild" kills inside Rebuild and the restore it needs.
TREE_BASE = "dbm=tree,max_page_size=256,max_cached_pages=256,max_branches=8,num_buckets=997"
for _mode, _mname in (("in_place", "inplace"), ("appending", "append")):
    _params = f"{TREE_BASE},update_mode={_mode}"
    CONFIGS.append((f"tree-{_mname}-small", _params, 0, 40, 3000, 997, 61, ".mvt"))
    CONFIGS.append((f"tree-{_mname}-large", _params, 64 * KB, 256 * KB, 12, 29, 5, ".mvt"))
CONFIGS.append(("tree-rebuild", f"{TREE_BASE},update_mode=in_place", 0, 40, 300, 7, 13,
                ".mvt"))
# Configurations whose contract is per record (see above).
PER_RECORD = ("tree-*",)


class Stats:
    def __init__(self):
        self.rounds = 0
        self.kills = 0
        self.phases = {}
        self.losses = 0
        self.bad_records = 0
        self.errors = 0
        self.ops = 0

    def line(self, name):
        phases = " ".join(f"{k}={v}" for k, v in sorted(self.phases.items()))
        return (f"{name:28s} rounds={self.rounds} kills={self.kills} ({phases}) "
                f"ops={self.ops} losses={self.losses} bad_records={self.bad_records} "
                f"errors={self.errors}")


class Estimate:
    """Running mean of a duration, to aim kills inside an operation."""

    def __init__(self, initial):
        self.value = initial

    def add(self, sample):
        self.value = 0.8 * self.value + 0.2 * sample


def diff_states(found, expected):
    keys = set(found) | set(expected)
    return sorted(k for k in keys if found.get(k) != expected.get(k))


class Soak:
    def __init__(self, args, config, stats, log):
        (self.name, self.params, self.min_value, self.max_value, self.num_keys,
         self.rebuild_every, self.sync_every, ext) = config
        self.args = args
        self.stats = stats
        self.log = log
        self.memory = self.sync_every > 0
        self.per_record = any(fnmatch.fnmatch(self.name, p) for p in PER_RECORD)
        # For the per-record contract: key -> the values (None: removed) it
        # was given since the last acknowledged synchronization.
        self.since = {}
        self.dir = tempfile.mkdtemp(prefix=f"{self.name}-", dir=args.workdir)
        self.path = os.path.join(self.dir, "db" + ext)
        self.check_dir = os.path.join(self.dir, "check")
        os.mkdir(self.check_dir)
        self.check_path = os.path.join(self.check_dir, "db" + ext)
        # key -> (size, digest): what the database must hold. For the memory
        # databases |state| is the synchronized state and |mem| the live one.
        self.state = {}
        self.mem = {}
        self.open_time = Estimate(0.02)
        self.ops_per_round = Estimate(10)
        self.restore_time = Estimate(0.001)
        self.op_time = {"S": Estimate(0.001), "Y": Estimate(0.02), "C": Estimate(0.02)}

    def run(self):
        # The writers' seeds come from a stream of their own, so that the same
        # --seed gives the same operations whatever the timing did to the other.
        base = self.args.seed * 7919 + zlib.crc32(self.name.encode())
        seeds = random.Random(base)
        rng = random.Random(base + 1)
        for r in range(self.args.rounds):
            self.round(r, seeds.getrandbits(48), rng)
        if not self.args.keep_workdir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def round(self, r, seed, rng):
        cmd = [self.args.bin, "write", self.path, self.params, str(seed), str(self.min_value),
               str(self.max_value), str(self.num_keys), str(self.rebuild_every),
               str(self.sync_every)]
        # Sets are aimed at too: an overwrite cut short must keep the old value.
        target_ops = ["S", "Y"] if self.rebuild_every else ["S"]
        if self.memory:
            target_ops.append("C")
        dice = rng.random()
        if dice < 0.1:
            aim, aim_op = "open", None
        elif dice < 0.2:
            # The writer kills itself inside its open, which restores.
            aim, aim_op = "exact", None
            cmd += ["-1", str(int(1.2e6 * self.restore_time.value * rng.random()))]
        elif dice < 0.4:
            aim, aim_op = "op", rng.choice(target_ops)
        elif dice < 0.8:
            # The writer kills itself at an exact point of one operation.
            aim, aim_op = "exact", None
            kill_op = rng.randint(1, max(1, int(2 * self.ops_per_round.value)))
            # Biased to early points: many Sets take far less than the mean.
            delay_us = int(1.2e6 * self.op_time["S"].value * rng.random() ** 2)
            cmd += [str(kill_op), str(delay_us)]
        else:
            aim, aim_op = "any", None
        stderr = tempfile.TemporaryFile(dir=self.dir)
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=stderr)
        fd = proc.stdout.fileno()
        if aim == "open":
            deadline = start + rng.uniform(0, 1.3 * self.open_time.value)
        elif aim == "exact":
            deadline = start + 30.0  # only if the writer fails to kill itself
        elif aim == "any":
            deadline = start + self.open_time.value + rng.uniform(0, self.args.tmax)
        else:
            deadline = start + 10.0  # set when the operation begins
        opened = False
        inflight = None  # the fields of the last "B" line not yet acknowledged
        pending = b""
        killed = False
        failure = None
        ops = 0
        eof = False

        def handle(line):
            nonlocal opened, inflight, deadline, failure, ops
            fields = line.split()
            now = time.monotonic()
            if fields[0] == "O":
                opened = True
                self.open_time.add(now - start)
                self.restore_time.add(int(fields[1]) / 1e6)
            elif fields[0] == "B":
                inflight = fields[1:]
                if aim == "op" and fields[1] == aim_op and deadline - now > 5.0:
                    deadline = now + rng.uniform(0, 1.3 * self.op_time[aim_op].value)
            elif fields[0] == "A":
                if inflight[0] in self.op_time:
                    self.op_time[inflight[0]].add(int(fields[1]) / 1e6)
                self.apply(inflight)
                inflight = None
                ops += 1
            elif fields[0] == "F":
                failure = line

        while not eof:
            timeout = max(0.0, deadline - time.monotonic()) if not killed else None
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready and not killed:
                proc.send_signal(signal.SIGKILL)
                killed = True
                phase = "open" if not opened else (f"in_{inflight[0]}" if inflight else "idle")
                self.stats.phases[phase] = self.stats.phases.get(phase, 0) + 1
                continue
            data = os.read(fd, 65536)
            if not data:
                eof = True
                break
            pending += data
            *lines, pending = pending.split(b"\n")
            for line in lines:
                handle(line.decode())
        proc.wait()
        proc.stdout.close()
        self.stats.rounds += 1
        self.stats.ops += ops
        if not killed and proc.returncode == -signal.SIGKILL:
            killed = True
            phase = ("exact_open" if not opened else
                     f"exact_{inflight[0]}" if inflight else "exact_idle")
            self.stats.phases[phase] = self.stats.phases.get(phase, 0) + 1
        if killed and proc.returncode == -signal.SIGKILL:
            self.stats.kills += 1
            self.ops_per_round.add(ops)
        elif failure is not None or proc.returncode != 0:
            stderr.seek(0)
            self.error(r, seed, f"writer ended with {proc.returncode}: {failure or ''} "
                       f"{stderr.read().decode(errors='replace')[-2000:]}")
            self.reset()
            return
        stderr.close()
        self.check(r, seed, inflight)

    def apply(self, op):
        target = self.mem if self.memory else self.state
        if op[0] == "S":
            target[op[1]] = (int(op[2]), op[3])
        elif op[0] == "R":
            target.pop(op[1], None)
        elif op[0] == "C" or (op[0] == "Y" and self.per_record):
            # A TreeDBM Rebuild writes every page to the new file.
            self.state = dict(self.mem)
            self.since = {}
        if self.per_record and op[0] in ("S", "R"):
            self.since.setdefault(op[1], set()).add(target.get(op[1]))

    def per_record_diff(self, found, inflight):
        """Keys whose found value is neither the synchronized one nor one given
        since (nor the one of the operation in flight)."""
        since = {k: set(v) for k, v in self.since.items()}
        if inflight is not None and inflight[0] in ("S", "R"):
            value = (int(inflight[2]), inflight[3]) if inflight[0] == "S" else None
            since.setdefault(inflight[1], set()).add(value)
        keys = set(found) | set(self.state) | set(since)
        return sorted(k for k in keys
                      if found.get(k) != self.state.get(k) and found.get(k) not in since.get(k, ()))

    def candidates(self, inflight):
        """The states the database may be in after the kill."""
        result = [self.state]
        if inflight is None:
            return result
        if self.memory:
            if inflight[0] == "C":
                result.append(dict(self.mem))
        elif inflight[0] in ("S", "R"):
            post = dict(self.state)
            if inflight[0] == "S":
                post[inflight[1]] = (int(inflight[2]), inflight[3])
            else:
                post.pop(inflight[1], None)
            result.append(post)
        return result

    def check(self, r, seed, inflight):
        if os.path.exists(self.check_path):
            os.remove(self.check_path)
        if os.path.exists(self.path):
            shutil.copyfile(self.path, self.check_path)
        proc = subprocess.run([self.args.bin, "dump", self.check_path, self.params],
                              capture_output=True, timeout=600)
        found = {}
        end = None
        failure = None
        for line in proc.stdout.decode().splitlines():
            fields = line.split()
            if fields[0] == "R":
                found[fields[1]] = (int(fields[2]), fields[3])
            elif fields[0] == "E":
                end = fields[1:]
            elif fields[0] == "F":
                failure = line
        if proc.returncode != 0 or end is None:
            self.loss(r, seed, inflight, f"reopen failed ({proc.returncode}): {failure} "
                      f"{proc.stderr.decode(errors='replace')[-2000:]}", len(self.state))
            self.reset()
            return
        problems = []
        if int(end[0]) != len(found):
            problems.append(f"Count {end[0]} but {len(found)} records walked")
        if end[1] != "1":
            problems.append("not healthy after the writable reopen")
        candidates = self.candidates(inflight)
        if self.per_record:
            bad = self.per_record_diff(found, inflight)
            if bad:
                detail = ", ".join(f"{k}: found {found.get(k)} expected {self.state.get(k)}"
                                   for k in bad[:4])
                problems.append(f"{len(bad)} records differ ({detail})")
                self.stats.bad_records += len(bad)
        elif found not in candidates:
            bad = min((diff_states(found, c) for c in candidates), key=len)
            detail = ", ".join(f"{k}: found {found.get(k)} expected {self.state.get(k)}"
                               for k in bad[:4])
            problems.append(f"{len(bad)} records differ ({detail})")
            self.stats.bad_records += len(bad)
        if problems:
            self.loss(r, seed, inflight, "; ".join(problems), 0)
        # Goes on from what the database holds.
        self.state = found
        self.mem = dict(found)
        self.since = {}

    def keep(self, r):
        if not self.args.keep:
            return None
        os.makedirs(self.args.keep, exist_ok=True)
        dest = os.path.join(self.args.keep,
                            f"{self.name}-round{r}" + os.path.splitext(self.path)[1])
        if os.path.exists(self.path):
            shutil.copyfile(self.path, dest)
            return dest
        return None

    def loss(self, r, seed, inflight, message, records):
        self.stats.losses += 1
        self.stats.bad_records += records
        if self.stats.losses > self.args.max_reports:
            return
        kept = self.keep(r)
        self.log(f"LOSS {self.name} round {r} (writer seed {seed}, in flight {inflight}): "
                 f"{message}")
        if kept:
            self.log(f"  killed file kept: {kept}; see it with: "
                     f"{self.args.bin} dump <copy of {kept}> '{self.params}'")

    def error(self, r, seed, message):
        self.stats.errors += 1
        self.log(f"ERROR {self.name} round {r} (writer seed {seed}): {message}")

    def reset(self):
        """Starts again from an empty database after a failure."""
        for name in os.listdir(self.dir):
            full = os.path.join(self.dir, name)
            if os.path.isfile(full):
                os.remove(full)
        self.state = {}
        self.mem = {}
        self.since = {}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="the crash_writer executable")
    parser.add_argument("--rounds", type=int, default=300, help="rounds per configuration")
    parser.add_argument("--configs", default="*",
                        help="comma-separated name patterns (default all): " +
                        " ".join(c[0] for c in CONFIGS))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--tmax", type=float, default=0.15,
                        help="kills aimed anywhere land up to this many seconds after the open")
    parser.add_argument("--workdir", default=None, help="where the databases live")
    parser.add_argument("--keep", default=None, help="directory for the killed files of losses")
    parser.add_argument("--keep-workdir", action="store_true")
    parser.add_argument("--max-reports", type=int, default=3,
                        help="losses described per configuration; the others are counted")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    patterns = args.configs.split(",")
    configs = [c for c in CONFIGS if any(fnmatch.fnmatch(c[0], p) for p in patterns)]
    if not configs:
        parser.error(f"no configuration matches {args.configs}")
    print(f"crash soak: seed {args.seed}, {args.rounds} rounds per configuration", flush=True)
    total_losses = 0
    for config in configs:
        stats = Stats()
        begin = time.monotonic()
        Soak(args, config, stats, lambda m: print(m, flush=True)).run()
        print(stats.line(config[0]) + f" time={time.monotonic() - begin:.1f}s", flush=True)
        total_losses += stats.losses + stats.errors
    return 1 if total_losses else 0


if __name__ == "__main__":
    sys.exit(main())
