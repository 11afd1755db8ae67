#!/usr/bin/env python3
"""Benchmarks of morvel beside the key-value stores that can be installed here.

One run prints, and writes to bench/RESULTS.md with a plot in
bench/results.png:

- the engine benchmark (C++, bench/engine_bench.cc), when given;
- point operations through the module, one call per operation, on --num
  random 8-byte keys and values: Set, Get, Remove on every morvel class beside
  dict, lmdb (one write transaction for the load, one read transaction for
  the gets), plyvel, rocksdict and sqlite3, with memory and file size after
  the load; a full scan (`for k, v in db` or the store's cursor);
- growth: Set and Get at 10M records against --num (with --big);
- threads: HashDBM Gets with and without concurrent=True, two threads
  against one;
- Search("begin", prefix, 1) on ordered classes against an iterator's Jump;
- the YCSB core workloads A, B, C, E, F (scrambled Zipfian, 1,000-byte values);
- AsyncDBM against direct calls, and the index benchmark (index_bench.py).

Every store runs in a worker process of its own. A peer that cannot be
installed or run is reported as missing with the reason in each of its rows.

    python bench/run_bench.py --engine build/dev/bench/engine_bench [--num N] [--big]
"""

import argparse
import json
import os
import subprocess
import sys

import report
import stores
from report import Table, fmt_mb, fmt_rate, fmt_ratio, ratio

HERE = os.path.dirname(os.path.abspath(__file__))

POINT_STORES = ["HashDBM", "HashDBM appending", "TreeDBM", "TinyDBM", "BabyDBM", "CacheDBM",
                "dict", "lmdb", "plyvel", "rocksdict", "sqlite3"]
PEERS = ["dict", "lmdb", "plyvel", "rocksdict", "sqlite3"]
SCAN_STORES = ["HashDBM", "TreeDBM", "TinyDBM", "BabyDBM", "CacheDBM", "dict", "lmdb",
               "plyvel", "rocksdict", "sqlite3"]
YCSB_STORES = ["HashDBM", "TreeDBM", "BabyDBM", "lmdb", "plyvel", "rocksdict"]
YCSB_PEERS = ["lmdb", "plyvel", "rocksdict"]
YCSB_COLUMNS = ["load", "A", "B", "C", "E", "F"]
SEARCH_CLASSES = ["TreeDBM", "BabyDBM"]


def size_label(num):
    """1000000 -> "1M", 2000 -> "2000"."""
    return "%dM" % (num // 1000000) if num % 1000000 == 0 else str(num)


def spawn(args, task, name="", num=None):
    """Runs one task in a worker process; its result, or {"error": reason}."""
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", task, "--store", name,
           "--num", str(num or args.num), "--ycsb-records", str(args.ycsb_records),
           "--ycsb-ops", str(args.ycsb_ops), "--ycsb-value", str(args.ycsb_value),
           "--search-calls", str(args.search_calls)] + (["--big"] if args.big else [])
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        lines = [l for l in proc.stderr.strip().splitlines() if l.strip()]
        return {"error": "failed (%s)" % (lines[-1] if lines else "exit %d" % proc.returncode)}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def versions():
    """The installed version of morvel and of each peer that has one."""
    from importlib import metadata
    found = {}
    for dist in ("morvel", "lmdb", "plyvel", "rocksdict"):
        try:
            found[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    try:
        import sqlite3
        found["sqlite3"] = sqlite3.sqlite_version
    except ImportError:
        pass
    return found


class Run:
    """The results gathered so far and the sections made of them."""

    def __init__(self, args):
        self.args = args
        self.sections = []
        names = sorted(set(POINT_STORES + YCSB_STORES))
        self.missing = stores.availability(names, not args.no_install)
        self.point = {}
        self.big = {}
        self.ycsb = {}

    def show(self, section):
        self.sections.append(section)
        print(section.text(), flush=True)

    def results(self, task, names, num=None):
        """Each store's result of |task|; a missing store gets its reason."""
        out = {}
        for name in names:
            reason = self.missing.get(name)
            out[name] = ({"error": "missing (%s)" % reason} if reason
                         else spawn(self.args, task, name, num))
        return out

    def engine(self):
        engine = self.args.engine
        table = Table("Engine (C++, no Python), %d random 8-byte records" % self.args.num,
                      ["class", "threads", "set ops/s", "get ops/s", "remove ops/s",
                       "set per CPU-s", "get per CPU-s", "memory MB", "file MB"],
                      "ops/s by wall-clock time; per CPU-s: ops per CPU-second of the process")
        async_table = Table("Engine AsyncDBM: operations handed over, futures collected after",
                            ["class", "op", "workers", "ops/s", "hand us/op", "collect us/op"])
        if not engine or not os.path.exists(engine):
            table.add_missing("engine_bench", "not run (no --engine)" if not engine
                              else "missing (not built at %s)" % engine)
            self.show(table)
            return
        proc = subprocess.run([engine, "--num", str(self.args.num)], capture_output=True,
                              text=True)
        for line in proc.stdout.splitlines():
            if line.startswith("RESULT "):
                r = json.loads(line[len("RESULT "):])
                table.add(r["class"], r["threads"], fmt_rate(r["set"]), fmt_rate(r["get"]),
                          fmt_rate(r["remove"]), fmt_rate(r["set_cpu"]),
                          fmt_rate(r["get_cpu"]), fmt_mb(r["memory"]),
                          fmt_mb(r["file_size"]) + ("" if r["ok"] else " FAILED"))
                if r["class"].startswith("hash") and r["threads"] == 1:
                    for op in ("set", "get"):
                        table.lines.append(
                            "%s %s: %s ops/s wall, %s per CPU-second: %s the 1M ops/s target"
                            % (r["class"], op, fmt_rate(r[op]), fmt_rate(r[op + "_cpu"]),
                               "meets" if r[op] > 1e6 else "misses"))
            elif line.startswith("ASYNC "):
                r = json.loads(line[len("ASYNC "):])
                async_table.add(r["class"], r["op"], r["workers"], fmt_rate(r["rate"]),
                                "%.2f" % r["hand_us"],
                                "%.2f" % r["collect_us"] + ("" if r["ok"] else " FAILED"))
        if proc.returncode != 0:
            table.lines.append("engine benchmark failed: " + proc.stderr.strip()[-300:])
        self.show(table)
        self.show(async_table)

    def point_ops(self):
        self.point = self.results("point", POINT_STORES)
        table = Table("Point operations, %d random 8-byte keys and values, one call per "
                      "operation" % self.args.num,
                      ["store", "set ops/s", "get ops/s", "remove ops/s", "memory MB",
                       "file MB"],
                      "lmdb: one write transaction for the load and the removals, one read "
                      "transaction for the gets; sqlite3: a WITHOUT ROWID table in "
                      "BEGIN ... COMMIT")
        scans = Table("Full scan of %d records" % self.args.num, ["store", "records/s"],
                      "morvel: `for k, v in db`; lmdb: cursor; plyvel: iterator; "
                      "rocksdict: items(); dict: items(); sqlite3: SELECT k, v")
        for name in POINT_STORES:
            r = self.point[name]
            if "error" in r:
                table.add_missing(name, r["error"])
                continue
            table.add(name, fmt_rate(r["set"]), fmt_rate(r["get"]), fmt_rate(r["remove"]),
                      fmt_mb(r["memory"]), fmt_mb(r["file_size"]))
        for name in SCAN_STORES:
            r = self.point[name]
            if "error" in r:
                scans.add_missing(name, r["error"])
            else:
                scans.add(name, fmt_rate(r["scan"]))
        self.show(table)
        self.show(scans)

    def growth(self):
        small, big = size_label(self.args.num), size_label(self.args.big_num)
        table = Table("Growth: Set and Get at %s and at %s records" % (small, big),
                      ["store", "set " + small, "set " + big, "get " + small, "get " + big,
                       "set cost %s/%s" % (big, small), "get cost %s/%s" % (big, small)],
                      "cost: time per operation at %s divided by that at %s (1.00: flat)"
                      % (big, small))
        if self.args.big:
            self.big = self.results("growth", POINT_STORES, self.args.big_num)
        for name in POINT_STORES:
            small, big = self.point[name], self.big.get(name)
            if "error" in small:
                table.add_missing(name, small["error"])
            elif not self.args.big:
                table.add(name, fmt_rate(small["set"]), "not run (BIG=1)",
                          fmt_rate(small["get"]), "not run (BIG=1)", "-", "-")
            elif "error" in big:
                table.add_missing(name, big["error"])
            else:
                table.add(name, fmt_rate(small["set"]), fmt_rate(big["set"]),
                          fmt_rate(small["get"]), fmt_rate(big["get"]),
                          fmt_ratio(ratio(small["set"], big["set"])),
                          fmt_ratio(ratio(small["get"], big["get"])))
        self.show(table)

    def threads(self):
        r = spawn(self.args, "threads")
        table = Table("Threads: HashDBM Gets through the module",
                      ["case", "concurrent=False", "concurrent=True"],
                      "ops/s of all threads together; two threads make the same total number "
                      "of Gets as one; the median of 5 alternating rounds; concurrent=True "
                      "releases the interpreter lock around engine calls that may wait "
                      "or run long")
        if "error" in r:
            table.add_missing("threads", r["error"])
            self.show(table)
            return
        table.add("%d records, 1 thread" % self.args.num, fmt_rate(r["get_all_False"]),
                  fmt_rate(r["get_all_True"]))
        for size in ("8 B", "100 KB"):
            if "%s_True_1" % size not in r:
                table.add("%s values, 1 and 2 threads" % size, "not run (BIG=1)", "-")
                continue
            for count in (1, 2):
                table.add("%s values, few hot records, %d thread%s" %
                          (size, count, "s" if count > 1 else ""),
                          fmt_rate(r["%s_False_%d" % (size, count)]),
                          fmt_rate(r["%s_True_%d" % (size, count)]))
            for mode in ("False", "True"):
                table.lines.append("%s, concurrent=%s: 2 threads / 1 thread = %s" % (
                    size, mode, fmt_ratio(ratio(r["%s_%s_2" % (size, mode)],
                                                r["%s_%s_1" % (size, mode)]))))
        table.lines.append("concurrent=True / False, one thread, %d records: %s" % (
            self.args.num, fmt_ratio(ratio(r["get_all_True"], r["get_all_False"]))))
        self.show(table)

    def search(self):
        found = self.results("search", SEARCH_CLASSES)
        table = Table('Search("begin", prefix, 1) on %d ordered keys' % self.args.num,
                      ["class", "Search ms/call", "Jump+Step ms/call", "Search / Jump"],
                      "16-hex-digit keys, 5-digit prefixes of existing keys; Jump+Step: "
                      "one iterator Jump to the prefix and one Step (read and move on)")
        for name in SEARCH_CLASSES:
            r = found[name]
            if "error" in r:
                table.add_missing(name, r["error"])
            else:
                table.add(name, "%.4f" % r["search_ms"], "%.4f" % r["jump_ms"],
                          fmt_ratio(ratio(r["search_ms"], r["jump_ms"])))
        self.show(table)

    def ycsb_workloads(self):
        a = self.args
        self.ycsb = self.results("ycsb", YCSB_STORES)
        table = Table("YCSB core workloads, %d records of %d bytes, %d operations each"
                      % (a.ycsb_records, a.ycsb_value, a.ycsb_ops),
                      ["store"] + [c if c == "load" else "%s ops/s" % c
                                   for c in YCSB_COLUMNS],
                      "scrambled Zipfian requests (constant 0.99); A 50/50 read/update, B 95/5, "
                      "C read only, E 95% scans of 1-100 records (iterator Jump + Step) / 5% "
                      "inserts, F 50/50 read/read-modify-write; run in the order load, A, B, C, "
                      "F, E on one store; lmdb: one transaction per workload run")
        for name in YCSB_STORES:
            r = self.ycsb[name]
            if "error" in r:
                table.add_missing(name, r["error"])
            else:
                table.add(name, *[fmt_rate(r[c]) for c in YCSB_COLUMNS])
        self.show(table)

    def ratios(self):
        table = Table("Ratios morvel / peer (above 1: morvel is faster)",
                      ["morvel / peer", "set", "get", "remove", "scan"])
        for name in ["HashDBM", "TreeDBM", "TinyDBM", "BabyDBM", "CacheDBM"]:
            for peer in PEERS:
                m, p = self.point[name], self.point[peer]
                if "error" in m or "error" in p:
                    table.add_missing("%s / %s" % (name, peer), m.get("error") or p["error"])
                    continue
                table.add("%s / %s" % (name, peer),
                          *[fmt_ratio(ratio(m.get(op), p.get(op)))
                            for op in ("set", "get", "remove", "scan")])
        base, lm = self.point["HashDBM"], self.point["lmdb"]
        for op in ("set", "get"):
            value = ratio(base.get(op), lm.get(op))
            table.lines.append("HashDBM %s: %s x lmdb: %s the 2x target" % (
                op, fmt_ratio(value),
                "-" if value is None else "meets" if value >= 2 else "misses"))
        self.show(table)
        ytable = Table("YCSB ratios morvel / peer (above 1: morvel is faster)",
                       ["morvel / peer"] + YCSB_COLUMNS)
        for name in ["HashDBM", "TreeDBM", "BabyDBM"]:
            for peer in YCSB_PEERS:
                m, p = self.ycsb[name], self.ycsb[peer]
                if "error" in m or "error" in p:
                    ytable.add_missing("%s / %s" % (name, peer), m.get("error") or p["error"])
                    continue
                ytable.add("%s / %s" % (name, peer),
                           *[fmt_ratio(ratio(m.get(c), p.get(c))) for c in YCSB_COLUMNS])
        self.show(ytable)

    def async_calls(self):
        table = Table("AsyncDBM through the module, %d Sets then %d Gets on a HashDBM file"
                      % (self.args.async_num, self.args.async_num),
                      ["mode", "way", "set ops/s", "get ops/s", "set hand/collect us",
                       "get hand/collect us"],
                      "futures collected after all were handed over; microseconds per "
                      "operation spent handing over and collecting")
        for mode in ("plain", "concurrent"):
            if self.missing.get("HashDBM"):
                table.add_missing(mode, "missing (%s)" % self.missing["HashDBM"])
                continue
            r = spawn(self.args, "async", mode, self.args.async_num)
            if "error" in r:
                table.add_missing(mode, r["error"])
                continue
            table.add(mode, "sync", fmt_rate(r["sync_set"]), fmt_rate(r["sync_get"]), "-", "-")
            for workers in (1, 2):
                s, g = "set_%d" % workers, "get_%d" % workers
                table.add(mode, "async %d" % workers, fmt_rate(r[s]), fmt_rate(r[g]),
                          "%.2f / %.2f" % (r[s + "_hand_us"], r[s + "_collect_us"]),
                          "%.2f / %.2f" % (r[g + "_hand_us"], r[g + "_collect_us"]))
        self.show(table)

    def index(self):
        cmd = [sys.executable, os.path.join(HERE, "index_bench.py")]
        if self.args.index_limit:
            cmd += ["--limit", str(self.args.index_limit)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        body = proc.stdout if proc.returncode == 0 else proc.stdout + "failed: " + proc.stderr
        self.show(report.Verbatim("Index (bench/index_bench.py)", body.replace("== ", "")))

    def plot_groups(self):
        def series(results, names, columns):
            return {n: [results[n].get(c) if "error" not in results[n] else None
                        for c in columns] for n in names}

        point_ops = ["set", "get", "remove", "scan"]
        return [
            ("Point operations and full scan, %s 8-byte records (ops/s, log scale)"
             % size_label(self.args.num), "ops/s", point_ops,
             series(self.point, POINT_STORES, point_ops), True),
            ("YCSB workloads, %d records of %d bytes (ops/s, log scale)"
             % (self.args.ycsb_records, self.args.ycsb_value), "ops/s", YCSB_COLUMNS,
             series(self.ycsb, YCSB_STORES, YCSB_COLUMNS), True),
        ]

    def write(self):
        md = os.path.join(self.args.out, "RESULTS.md")
        png = os.path.join(self.args.out, "results.png")
        problem = report.plot(png, self.plot_groups())
        if problem:
            print("no plot: " + problem)
        command = "make bench" + (" BIG=1" if self.args.big else "")
        if self.args.num != 1000000:
            command = "bench/run_bench.py --num %d" % self.args.num
        report.write_markdown(md, self.sections, command,
                              None if problem else os.path.basename(png), versions(),
                              self.missing)
        print("wrote %s%s" % (md, "" if problem else " and " + png))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", help="path of the engine_bench executable")
    parser.add_argument("--num", type=int, default=1000000, help="number of records")
    parser.add_argument("--big", action="store_true",
                        help="also run Set and Get at --big-num records and 100 KB values "
                        "in threads")
    parser.add_argument("--big-num", type=int, default=10000000)
    parser.add_argument("--ycsb-records", type=int, default=200000)
    parser.add_argument("--ycsb-ops", type=int, default=200000)
    parser.add_argument("--ycsb-value", type=int, default=1000)
    parser.add_argument("--search-calls", type=int, default=2000)
    parser.add_argument("--async-num", type=int, default=100000)
    parser.add_argument("--index-limit", type=int, default=0,
                        help="source files read by the index benchmark (0: all)")
    parser.add_argument("--out", default=HERE, help="directory of RESULTS.md and results.png")
    parser.add_argument("--no-install", action="store_true",
                        help="do not pip-install the PyPI peers")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--store", default="", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        import workers
        print(json.dumps(workers.run(args.worker, args.store, args)))
        return 0
    sys.stdout.reconfigure(line_buffering=True)
    run = Run(args)
    for name, reason in sorted(run.missing.items()):
        if reason:
            print("%s is missing: %s" % (name, reason))
    run.engine()
    run.point_ops()
    run.growth()
    run.threads()
    run.search()
    run.ycsb_workloads()
    run.ratios()
    run.async_calls()
    run.index()
    run.write()
    return 0


if __name__ == "__main__":
    sys.exit(main())
