#!/usr/bin/env python3
"""Benchmarks of morvel beside the key-value stores that can be installed here.

Runs the engine benchmark (C++, bench/engine_bench.cc) if given, then the same
workload through the Python module: 1M random 8-byte keys and values, set, then
got, then scanned (`for k, v in db`, or the store's cursor), then removed, one
operation per call, on morvel.DBM (HashDBM in both
update modes, TinyDBM, BabyDBM) and on sqlite3 (a key-value table), dbm.dumb,
lmdb and plyvel (the last two installed from PyPI into this environment when
they can be; skipped quietly when not). Every store runs in a process of its
own so that its memory is measured alone. Prints ops/s and memory per class and
the ratios of morvel's HashDBM against each peer.

Then the asynchronous adapter: 100k Sets and then 100k Gets handed to
morvel.AsyncDBM with all futures collected afterwards, against the same
operations made synchronously on morvel.DBM, in both concurrent modes, with the
time split between handing over and collecting.

    python bench/run_bench.py --engine build/dev/bench/engine_bench [--num N]
"""

import argparse
import importlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

MASK64 = (1 << 64) - 1

# Stores driven through Python, in the order they are reported.
MORVEL_WORKERS = ["morvel_hash_in_place", "morvel_hash_appending", "morvel_tiny", "morvel_baby"]
PEER_WORKERS = ["lmdb", "plyvel", "sqlite3", "dbm.dumb"]
PYPI_PEERS = {"lmdb": "lmdb", "plyvel": "plyvel"}

# The asynchronous comparison: its record count, and the worker counts tried.
ASYNC_NUM = 100000
ASYNC_WORKERS = [1, 2]

# dbm.dumb opens its files on every operation and rewrites its whole index on
# every deletion: it is timed on this many records, and removals on fewer.
DUMB_LIMIT = 20000
DUMB_REMOVE_LIMIT = 2000


def mix(x):
    """The bijection of engine_bench.cc: distinct indexes give distinct keys."""
    x = (x + 0x9E3779B97F4A7C15) & MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK64
    return x ^ (x >> 31)


def make_records(num):
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


def timed(func, count):
    start = time.perf_counter()
    func()
    return count / (time.perf_counter() - start)


def work_morvel(name, keys, values, workdir):
    import morvel
    params = {
        "morvel_hash_in_place": ("db.mvh", {"dbm": "HashDBM", "update_mode": "in_place"}),
        "morvel_hash_appending": ("db.mvh", {"dbm": "HashDBM", "update_mode": "appending"}),
        "morvel_tiny": ("", {"dbm": "TinyDBM"}),
        "morvel_baby": ("", {"dbm": "BabyDBM"}),
    }[name]
    path = os.path.join(workdir, params[0]) if params[0] else ""
    db = morvel.DBM()
    status = db.Open(path, True, truncate=True, **params[1])
    if not status.IsOK():
        raise RuntimeError("open: " + str(status))
    pairs = list(zip(keys, values))
    before = memory_usage()

    def do_set():
        set_ = db.Set
        for key, value in pairs:
            set_(key, value)

    def do_get():
        get = db.Get
        for key, value in pairs:
            if get(key) != value:
                raise RuntimeError("wrong value")

    def do_scan():
        num = 0
        for key, value in db:
            num += 1
        if num != len(keys):
            raise RuntimeError("wrong record count in the scan")

    def do_remove():
        remove = db.Remove
        for key in keys:
            remove(key)

    result = {"set": timed(do_set, len(keys))}
    result["memory"] = memory_usage() - before
    result["get"] = timed(do_get, len(keys))
    result["scan"] = timed(do_scan, len(keys))
    result["remove"] = timed(do_remove, len(keys))
    if db.Count() != 0:
        raise RuntimeError("records left after removal")
    db.Close()
    return result


def work_lmdb(keys, values, workdir):
    import lmdb
    env = lmdb.open(os.path.join(workdir, "lmdb"), map_size=4 << 30)
    pairs = list(zip(keys, values))
    before = memory_usage()

    def do_set():
        with env.begin(write=True) as txn:
            put = txn.put
            for key, value in pairs:
                put(key, value)

    def do_get():
        with env.begin() as txn:
            get = txn.get
            for key, value in pairs:
                if get(key) != value:
                    raise RuntimeError("wrong value")

    def do_scan():
        num = 0
        with env.begin() as txn:
            for key, value in txn.cursor():
                num += 1
        if num != len(keys):
            raise RuntimeError("wrong record count in the scan")

    def do_remove():
        with env.begin(write=True) as txn:
            delete = txn.delete
            for key in keys:
                delete(key)

    result = {"set": timed(do_set, len(keys))}
    result["memory"] = memory_usage() - before
    result["get"] = timed(do_get, len(keys))
    result["scan"] = timed(do_scan, len(keys))
    result["remove"] = timed(do_remove, len(keys))
    env.close()
    return result


def work_plyvel(keys, values, workdir):
    import plyvel
    db = plyvel.DB(os.path.join(workdir, "leveldb"), create_if_missing=True)
    pairs = list(zip(keys, values))
    before = memory_usage()

    def do_set():
        put = db.put
        for key, value in pairs:
            put(key, value)

    def do_get():
        get = db.get
        for key, value in pairs:
            if get(key) != value:
                raise RuntimeError("wrong value")

    def do_scan():
        num = 0
        for key, value in db:
            num += 1
        if num != len(keys):
            raise RuntimeError("wrong record count in the scan")

    def do_remove():
        delete = db.delete
        for key in keys:
            delete(key)

    result = {"set": timed(do_set, len(keys))}
    result["memory"] = memory_usage() - before
    result["get"] = timed(do_get, len(keys))
    result["scan"] = timed(do_scan, len(keys))
    result["remove"] = timed(do_remove, len(keys))
    db.close()
    return result


def work_sqlite3(keys, values, workdir):
    import sqlite3
    con = sqlite3.connect(os.path.join(workdir, "db.sqlite"), isolation_level=None)
    con.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
    pairs = list(zip(keys, values))
    before = memory_usage()

    def do_set():
        con.execute("BEGIN")
        execute = con.execute
        for pair in pairs:
            execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", pair)
        con.execute("COMMIT")

    def do_get():
        execute = con.execute
        for key, value in pairs:
            row = execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
            if row is None or row[0] != value:
                raise RuntimeError("wrong value")

    def do_scan():
        num = 0
        for key, value in con.execute("SELECT k, v FROM kv"):
            num += 1
        if num != len(keys):
            raise RuntimeError("wrong record count in the scan")

    def do_remove():
        con.execute("BEGIN")
        execute = con.execute
        for key in keys:
            execute("DELETE FROM kv WHERE k = ?", (key,))
        con.execute("COMMIT")

    result = {"set": timed(do_set, len(keys))}
    result["memory"] = memory_usage() - before
    result["get"] = timed(do_get, len(keys))
    result["scan"] = timed(do_scan, len(keys))
    result["remove"] = timed(do_remove, len(keys))
    con.close()
    return result


def work_dumb(keys, values, workdir):
    import dbm.dumb
    db = dbm.dumb.open(os.path.join(workdir, "dumb"), "n")
    keys = keys[:DUMB_LIMIT]
    pairs = list(zip(keys, values))
    before = memory_usage()

    def do_set():
        for key, value in pairs:
            db[key] = value

    def do_get():
        for key, value in pairs:
            if db[key] != value:
                raise RuntimeError("wrong value")

    some = keys[:DUMB_REMOVE_LIMIT]

    def do_remove():
        for key in some:
            del db[key]

    result = {"set": timed(do_set, len(keys))}
    result["memory"] = memory_usage() - before
    result["get"] = timed(do_get, len(keys))
    result["remove"] = timed(do_remove, len(some))
    result["note"] = "timed on %d records, remove on %d" % (len(keys), len(some))
    db.close()
    return result


def work_async(concurrent, keys, values, workdir):
    """Sets and Gets through AsyncDBM (futures collected afterwards) against the
    same operations made synchronously, on a HashDBM file."""
    import morvel
    pairs = list(zip(keys, values))
    result = {}

    def open_db(tag):
        db = morvel.DBM()
        status = db.Open(os.path.join(workdir, tag + ".mvh"), True, truncate=True,
                         concurrent=concurrent, num_buckets=len(keys) * 2)
        if not status.IsOK():
            raise RuntimeError("open: " + str(status))
        return db

    db = open_db("sync")
    start = time.perf_counter()
    set_ = db.Set
    for key, value in pairs:
        set_(key, value)
    result["sync_set"] = len(pairs) / (time.perf_counter() - start)
    start = time.perf_counter()
    get = db.Get
    for key, value in pairs:
        if get(key) != value:
            raise RuntimeError("wrong value")
    result["sync_get"] = len(pairs) / (time.perf_counter() - start)
    db.Close()

    for workers in ASYNC_WORKERS:
        db = open_db("async%d" % workers)
        adapter = morvel.AsyncDBM(db, workers)
        for op in ("set", "get"):
            start = time.perf_counter()
            if op == "set":
                call = adapter.Set
                futures = [call(key, value) for key, value in pairs]
            else:
                call = adapter.Get
                futures = [call(key) for key in keys]
            handed = time.perf_counter()
            if op == "set":
                if not all(f.Get() == 0 for f in futures):
                    raise RuntimeError("a Set failed")
            else:
                for f, value in zip(futures, values):
                    status, got = f.Get()
                    if got != value:
                        raise RuntimeError("wrong value")
            end = time.perf_counter()
            del futures
            tag = "%s_%d" % (op, workers)
            result[tag] = len(pairs) / (end - start)
            result[tag + "_hand_us"] = (handed - start) * 1e6 / len(pairs)
            result[tag + "_collect_us"] = (end - handed) * 1e6 / len(pairs)
        adapter.Destruct()
        db.Close()
    return result


def run_worker(name, num):
    """Runs one store in this process and prints its result as JSON."""
    keys, values = make_records(num)
    workdir = tempfile.mkdtemp(prefix="morvel_pybench.")
    try:
        if name.startswith("async_"):
            result = work_async(name == "async_concurrent", keys, values, workdir)
        elif name.startswith("morvel_"):
            result = work_morvel(name, keys, values, workdir)
        elif name == "lmdb":
            result = work_lmdb(keys, values, workdir)
        elif name == "plyvel":
            result = work_plyvel(keys, values, workdir)
        elif name == "sqlite3":
            result = work_sqlite3(keys, values, workdir)
        elif name == "dbm.dumb":
            result = work_dumb(keys, values, workdir)
        else:
            raise RuntimeError("unknown store " + name)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(result))


def importable(module):
    try:
        importlib.import_module(module)
        return True
    except Exception:
        return False


def ensure_peer(module):
    """Installs a PyPI peer into this environment when missing; quiet on failure."""
    if importable(module):
        return True
    try:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", PYPI_PEERS[module]],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300,
                       check=False)
    except (OSError, subprocess.SubprocessError):
        return False
    importlib.invalidate_caches()
    return importable(module)


def spawn_worker(name, num):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", name,
                           "--num", str(num)], capture_output=True, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["failed"])[-1]
        return {"error": tail}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_engine(engine, num):
    print("== engine (C++), %d records" % num)
    proc = subprocess.run([engine, "--num", str(num)], capture_output=True, text=True)
    results = []
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            results.append(json.loads(line[len("RESULT "):]))
        elif not line.startswith("ASYNC "):
            print(line)
    if proc.returncode != 0:
        print("engine benchmark failed: " + proc.stderr.strip())
    for r in results:
        if r["class"].startswith("hash") and r["threads"] == 1:
            for op in ("set", "get"):
                verdict = "meets" if r[op] > 1e6 else "misses"
                print("  %s %s: %.0f ops/s wall, %.0f per CPU-second: %s the 1M ops/s target"
                      % (r["class"], op, r[op], r[op + "_cpu"], verdict))
    print()
    return results


def fmt_rate(value):
    return "%11.0f" % value if value is not None else "%11s" % "-"


def report_async():
    print()
    print("== AsyncDBM, %d Sets then %d Gets on a HashDBM file, futures collected afterwards"
          % (ASYNC_NUM, ASYNC_NUM))
    print("(ops/s of the whole run; then microseconds per operation spent handing over"
          " and collecting)")
    print("%-11s %-8s %11s %11s %9s %9s" % ("mode", "way", "set ops/s", "get ops/s",
                                            "set h/c", "get h/c"))
    for name in ("async_plain", "async_concurrent"):
        mode = name[len("async_"):]
        r = spawn_worker(name, ASYNC_NUM)
        if "error" in r:
            print("%-11s failed: %s" % (mode, r["error"]))
            continue
        print("%-11s %-8s %s %s" % (mode, "sync", fmt_rate(r["sync_set"]),
                                    fmt_rate(r["sync_get"])))
        for workers in ASYNC_WORKERS:
            s, g = "set_%d" % workers, "get_%d" % workers
            print("%-11s %-8s %s %s %4.1f/%-4.1f %4.1f/%-4.1f" % (
                mode, "async %d" % workers, fmt_rate(r[s]), fmt_rate(r[g]),
                r[s + "_hand_us"], r[s + "_collect_us"], r[g + "_hand_us"],
                r[g + "_collect_us"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", help="path of the engine_bench executable")
    parser.add_argument("--num", type=int, default=1000000, help="number of records")
    parser.add_argument("--no-install", action="store_true",
                        help="do not pip-install the PyPI peers")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        run_worker(args.worker, args.num)
        return 0
    sys.stdout.reconfigure(line_buffering=True)

    if args.engine:
        if os.path.exists(args.engine):
            run_engine(args.engine, args.num)
        else:
            print("engine benchmark not found at %s; skipped\n" % args.engine)

    stores = []
    if importable("morvel"):
        stores.extend(MORVEL_WORKERS)
    else:
        print("the module morvel cannot be imported; its part is skipped")
    for peer in PEER_WORKERS:
        if peer in PYPI_PEERS and not (importable(peer) or
                                       (not args.no_install and ensure_peer(peer))):
            print("%s is not installable here; skipped" % peer)
            continue
        stores.append(peer)

    print("== Python, %d records of 8-byte random keys and values, one call per operation"
          % args.num)
    print("%-22s %11s %11s %11s %11s %10s" % ("store", "set ops/s", "get ops/s",
                                              "scan rec/s", "remove ops/s", "memory MB"))
    print("(memory: growth of anonymous resident memory after the sets; file pages excluded)")
    results = {}
    for name in stores:
        r = spawn_worker(name, args.num)
        results[name] = r
        if "error" in r:
            print("%-22s failed: %s" % (name, r["error"]))
            continue
        print("%-22s %s %s %s %s %10.1f%s" % (name, fmt_rate(r["set"]), fmt_rate(r["get"]),
                                              fmt_rate(r.get("scan")), fmt_rate(r["remove"]),
                                              r["memory"] / 1048576.0,
                                           "  (" + r["note"] + ")" if "note" in r else ""))
        sys.stdout.flush()

    if importable("morvel"):
        report_async()

    base = results.get("morvel_hash_in_place")
    if base and "error" not in base:
        print()
        print("ratios of morvel HashDBM (in_place) to each peer (above 1: morvel is faster)")
        print("%-22s %7s %7s %7s" % ("peer", "set", "get", "remove"))
        for name in PEER_WORKERS:
            r = results.get(name)
            if not r or "error" in r:
                continue
            print("%-22s %7.2f %7.2f %7.2f" % (name, base["set"] / r["set"],
                                               base["get"] / r["get"],
                                               base["remove"] / r["remove"]))
        for name in MORVEL_WORKERS:
            r = results.get(name)
            if not r or "error" in r:
                continue
            for peer in ("lmdb", "plyvel"):
                p = results.get(peer)
                if p and "error" not in p:
                    print("  %s scan (for k, v in db): %.2fx %s's cursor scan" %
                          (name, r["scan"] / p["scan"], peer))
        lm = results.get("lmdb")
        if lm and "error" not in lm:
            for op in ("set", "get"):
                ratio = base[op] / lm[op]
                print("  %s: %.2fx lmdb: %s the 2x target" %
                      (op, ratio, "meets" if ratio >= 2 else "misses"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
