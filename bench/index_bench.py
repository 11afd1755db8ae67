#!/usr/bin/env python3
"""Benchmark of morvel.Index: an inverted index of the identifiers of the Python
standard library's sources to the names of the files that use them.

Builds the index with one Add per distinct (identifier, file) pair, then calls
GetValues for every identifier and checks the total number of values. Runs on
morvel.Index in memory (BabyDBM), on a BabyDBM file and on a TreeDBM file (when
the tree class is built), beside a dict of sets and sqlite3 (a two-column table
with an index on the key). Every store runs in a process of its own so that its
memory is measured alone. Prints build and query time, file size and the growth
of anonymous resident memory during the build.

    python bench/index_bench.py [--limit FILES]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

from measure import dir_size, memory_usage

IDENTIFIER = re.compile(rb"[A-Za-z_][A-Za-z0-9_]*")

STORES = ["morvel_memory", "morvel_baby_file", "morvel_tree_file", "dict_of_sets", "sqlite3"]


def source_files(limit):
    """The .py files of the standard library, site-packages excluded, sorted."""
    root = sysconfig.get_paths()["stdlib"]
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "__pycache__"))
        for name in sorted(files):
            if name.endswith(".py"):
                found.append(os.path.join(folder, name))
    found.sort()
    return root, found[:limit] if limit else found


def make_pairs(limit):
    """Distinct (identifier, relative file name) pairs as bytes, and the
    number of distinct identifiers."""
    root, files = source_files(limit)
    pairs = []
    words = set()
    for path in files:
        try:
            with open(path, "rb") as f:
                text = f.read()
        except OSError:
            continue
        name = os.path.relpath(path, root).encode()
        for word in set(IDENTIFIER.findall(text)):
            pairs.append((word, name))
            words.add(word)
    return pairs, sorted(words)


def work_morvel(name, pairs, words, workdir):
    import morvel
    path = {"morvel_memory": "", "morvel_baby_file": "index.mvmb",
            "morvel_tree_file": "index.mvt"}[name]
    path = os.path.join(workdir, path) if path else ""
    idx = morvel.Index()
    status = idx.Open(path, True, truncate=True)
    if status == morvel.Status.NOT_IMPLEMENTED_ERROR:
        return {"skipped": str(status)}
    if not status.IsOK():
        raise RuntimeError("open: " + str(status))
    before = memory_usage()
    start = time.perf_counter()
    add = idx.Add
    for word, file_name in pairs:
        add(word, file_name)
    if path:
        idx.Synchronize(False)
    build = time.perf_counter() - start
    memory = memory_usage() - before
    start = time.perf_counter()
    get_values = idx.GetValues
    total = 0
    for word in words:
        total += len(get_values(word))
    query = time.perf_counter() - start
    if total != len(pairs) or idx.Count() != len(pairs):
        raise RuntimeError("wrong number of values: %d of %d" % (total, len(pairs)))
    idx.Close()
    return {"build": build, "query": query, "memory": memory,
            "file_size": dir_size(workdir) if path else 0}


def work_dict(pairs, words):
    before = memory_usage()
    start = time.perf_counter()
    index = {}
    for word, file_name in pairs:
        index.setdefault(word, set()).add(file_name)
    build = time.perf_counter() - start
    memory = memory_usage() - before
    start = time.perf_counter()
    total = 0
    for word in words:
        total += len(sorted(index.get(word, ())))
    query = time.perf_counter() - start
    if total != len(pairs):
        raise RuntimeError("wrong number of values")
    return {"build": build, "query": query, "memory": memory, "file_size": 0}


def work_sqlite3(pairs, words, workdir):
    import sqlite3
    path = os.path.join(workdir, "index.sqlite")
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("CREATE TABLE pairs (k BLOB, v BLOB)")
    con.execute("CREATE INDEX pairs_k ON pairs (k)")
    before = memory_usage()
    start = time.perf_counter()
    con.execute("BEGIN")
    execute = con.execute
    for pair in pairs:
        execute("INSERT INTO pairs VALUES (?, ?)", pair)
    con.execute("COMMIT")
    build = time.perf_counter() - start
    memory = memory_usage() - before
    start = time.perf_counter()
    total = 0
    for word in words:
        total += len(execute("SELECT v FROM pairs WHERE k = ? ORDER BY v", (word,)).fetchall())
    query = time.perf_counter() - start
    if total != len(pairs):
        raise RuntimeError("wrong number of values")
    con.close()
    return {"build": build, "query": query, "memory": memory, "file_size": dir_size(workdir)}


def run_worker(name, limit):
    pairs, words = make_pairs(limit)
    workdir = tempfile.mkdtemp(prefix="morvel_indexbench.")
    try:
        if name.startswith("morvel_"):
            result = work_morvel(name, pairs, words, workdir)
        elif name == "dict_of_sets":
            result = work_dict(pairs, words)
        elif name == "sqlite3":
            result = work_sqlite3(pairs, words, workdir)
        else:
            raise RuntimeError("unknown store " + name)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(result))


def spawn_worker(name, limit):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", name,
                           "--limit", str(limit)], capture_output=True, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["failed"])[-1]
        return {"error": tail}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--limit", type=int, default=0,
                        help="read at most this many source files (0: all)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        run_worker(args.worker, args.limit)
        return 0
    sys.stdout.reconfigure(line_buffering=True)
    pairs, words = make_pairs(args.limit)
    _, files = source_files(args.limit)
    print("== Index: identifiers of %d standard library sources -> file names" % len(files))
    print("%d pairs, %d identifiers; one Add per pair, one GetValues per identifier"
          % (len(pairs), len(words)))
    print("(memory: growth of anonymous resident memory during the build)")
    print("%-18s %9s %11s %9s %11s %10s %10s" % ("store", "build s", "adds/s", "query s",
                                                 "queries/s", "file MB", "memory MB"))
    num_pairs = len(pairs)
    del pairs
    for name in STORES:
        r = spawn_worker(name, args.limit)
        if "error" in r:
            print("%-18s failed: %s" % (name, r["error"]))
            continue
        if "skipped" in r:
            print("%-18s skipped: %s" % (name, r["skipped"]))
            continue
        print("%-18s %9.2f %11.0f %9.2f %11.0f %10.1f %10.1f" % (
            name, r["build"], num_pairs / r["build"], r["query"],
            len(words) / r["query"], r["file_size"] / 1048576.0, r["memory"] / 1048576.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
