"""The measurements, each run by a worker process of its own (so that its
memory is measured alone) and returned as a dict of figures.

Every worker takes the store name (or a morvel class) and the parameters of
the run, opens the store in a fresh directory and removes it afterwards.
"""

import os
import shutil
import statistics
import tempfile
import threading
import time

import stores
import ycsb
from measure import make_records, memory_usage, mix, ms_per_call, rate, timed


def _load(set_, pairs):
    for key, value in pairs:
        set_(key, value)


def _check_gets(get, pairs):
    for key, value in pairs:
        if get(key) != value:
            raise RuntimeError("wrong value for %r" % key)


def _remove_all(remove, keys):
    for key in keys:
        remove(key)


def _count(records, expected):
    num = 0
    for _ in records:
        num += 1
    if num != expected:
        raise RuntimeError("the scan saw %d records of %d" % (num, expected))


def point(store, num, scan_and_remove=True):
    """Set, Get (checked), full scan and Remove of |num| random 8-byte records,
    one call per operation; memory growth and file size after the load."""
    keys, values = make_records(num)
    pairs = list(zip(keys, values))
    result = {}
    before = memory_usage()
    with store.batch(True) as (set_, _, _):
        result["set"] = rate(num, _load, set_, pairs)
    result["memory"] = memory_usage() - before
    result["file_size"] = store.file_size()
    with store.batch(False) as (_, get, _):
        result["get"] = rate(num, _check_gets, get, pairs)
    if scan_and_remove:
        result["scan"] = rate(num, _count, store.scan(), num)
        with store.batch(True) as (_, _, remove):
            result["remove"] = rate(num, _remove_all, remove, keys)
    return result


def growth(store, num):
    return point(store, num, scan_and_remove=False)


def ycsb_run(store, records, operations, value_size):
    """Loads |records| records of |value_size| bytes, then runs the workloads
    A, B, C, F and E (E last: its inserts grow the store) on them."""
    values = ycsb.make_values(value_size, 7)
    keys = [ycsb.record_key(i) for i in range(records)]
    pairs = [(key, values[i % ycsb.VALUE_POOL]) for i, key in enumerate(keys)]
    result = {}
    with store.batch(True) as (set_, _, _):
        result["load"] = rate(records, _load, set_, pairs)
    del pairs
    for workload in ("A", "B", "C", "F", "E"):
        if workload == "E" and not store.ordered:
            result[workload] = "n/a (unordered)"
            continue
        ops = ycsb.make_operations(workload, keys, operations, value_size, 11)
        with store.batch(workload != "C") as (set_, get, _):
            seek = getattr(store, "seek", None)
            result[workload] = rate(operations, ycsb.run_operations, ops, set_, get, seek)
    return result


def search(store, num, calls):
    """Search("begin", prefix, 1) against one Jump and one Step (read and move
    on) of an iterator, on |num| ordered text keys; milliseconds per call."""
    db = store.db
    keys = ["%016x" % mix(i) for i in range(num)]
    _load(db.Set, ((key, "v") for key in keys))
    prefixes = [(keys[mix(i) % num][:5],) for i in range(calls)]
    it = db.MakeIterator()

    def jump_next(prefix):
        it.Jump(prefix)
        it.Step()

    found = db.Search("begin", prefixes[0][0], 1)
    it.Jump(prefixes[0][0])
    if found != [it.GetKeyStr()]:
        raise RuntimeError("Search found %r, the iterator %r" % (found, it.GetKeyStr()))
    result = {"search_ms": ms_per_call(lambda p: db.Search("begin", p, 1), prefixes),
              "jump_ms": ms_per_call(jump_next, prefixes)}
    return result


def _threaded_gets(get, keys, threads):
    """Gets of every key in |keys| by each of |threads| threads; total ops/s."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for key in keys:
            if get(key) is None:
                raise RuntimeError("record not found")

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start = time.perf_counter()
    barrier.wait()
    for worker in workers:
        worker.join()
    return len(keys) * threads / (time.perf_counter() - start)


THREAD_ROUNDS = 5


def threads(num, big):
    """HashDBM Gets with and without concurrent=True by one thread, and by two
    threads against one on a few hot records: small ones, and (|big|) 100 KB
    ones, where the engine's copy is long enough to overlap."""
    import morvel
    keys, values = make_records(num)
    pairs = list(zip(keys, values))
    workdir = tempfile.mkdtemp(prefix="morvel_threads.")
    result = {}
    cases = [("8 B", 8, 1000, num)]
    if big:
        cases.append(("100 KB", 100 * 1024, 200, 20000))
    try:
        for concurrent in (False, True):
            db = morvel.DBM()
            db.Open(os.path.join(workdir, "plain.mvh"), True, truncate=True,
                    concurrent=concurrent).OrDie()
            _load(db.Set, pairs)
            result["get_all_%s" % concurrent] = rate(num, _check_gets, db.Get, pairs)
            db.Close().OrDie()
            for label, size, hot, total in cases:
                db = morvel.DBM()
                db.Open(os.path.join(workdir, "hot.mvh"), True, truncate=True,
                        concurrent=concurrent).OrDie()
                hot_keys = keys[:hot]
                value = b"v" * size
                for key in hot_keys:
                    db.Set(key, value).OrDie()
                total = max(total, 1000)
                per_thread = (hot_keys * (total // len(hot_keys) + 1))[:total]
                # One sample swings by +-25% with the interpreter lock's hand-overs
                # on a busy machine: the median of alternating rounds is kept.
                samples = {1: [], 2: []}
                for _ in range(THREAD_ROUNDS):
                    for count in (1, 2):
                        samples[count].append(
                            _threaded_gets(db.Get, per_thread[:total // count], count))
                for count in (1, 2):
                    result["%s_%s_%d" % (label, concurrent, count)] = statistics.median(
                        samples[count])
                db.Close().OrDie()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return result


def async_calls(concurrent, num):
    """Sets and Gets through AsyncDBM (futures collected afterwards) against the
    same operations made synchronously, on a HashDBM file."""
    import morvel
    keys, values = make_records(num)
    pairs = list(zip(keys, values))
    workdir = tempfile.mkdtemp(prefix="morvel_async.")
    result = {}

    def open_db(tag):
        db = morvel.DBM()
        db.Open(os.path.join(workdir, tag + ".mvh"), True, truncate=True,
                concurrent=concurrent, num_buckets=num * 2).OrDie()
        return db

    try:
        db = open_db("sync")
        result["sync_set"] = rate(num, _load, db.Set, pairs)
        result["sync_get"] = rate(num, _check_gets, db.Get, pairs)
        db.Close()
        for workers in (1, 2):
            db = open_db("async%d" % workers)
            adapter = morvel.AsyncDBM(db, workers)
            for op in ("set", "get"):
                if op == "set":
                    hand = lambda: [adapter.Set(k, v) for k, v in pairs]  # noqa: E731
                else:
                    hand = lambda: [adapter.Get(k) for k in keys]  # noqa: E731
                futures = []
                hand_time = timed(lambda: futures.extend(hand()))
                collected = []
                collect_time = timed(lambda: collected.extend(f.Get() for f in futures))
                if op == "set" and any(s != 0 for s in collected):
                    raise RuntimeError("an asynchronous Set failed")
                if op == "get" and any(got != v for (_, got), v in zip(collected, values)):
                    raise RuntimeError("an asynchronous Get returned a wrong value")
                del futures, collected
                tag = "%s_%d" % (op, workers)
                result[tag] = num / (hand_time + collect_time)
                result[tag + "_hand_us"] = hand_time * 1e6 / num
                result[tag + "_collect_us"] = collect_time * 1e6 / num
            adapter.Destruct()
            db.Close()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return result


def run(task, name, args):
    """Runs one task; |name| is a store of stores.STORES or empty."""
    if task == "threads":
        return threads(args.num, args.big)
    if task == "async":
        return async_calls(name == "concurrent", args.num)
    num = args.ycsb_records if task == "ycsb" else args.num
    workdir = tempfile.mkdtemp(prefix="morvel_bench.")
    try:
        store = stores.open_store(name, workdir, num)
        try:
            if task == "point":
                return point(store, num)
            if task == "growth":
                return growth(store, num)
            if task == "ycsb":
                return ycsb_run(store, args.ycsb_records, args.ycsb_ops, args.ycsb_value)
            if task == "search":
                return search(store, num, args.search_calls)
            raise RuntimeError("unknown task " + task)
        finally:
            store.close()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
