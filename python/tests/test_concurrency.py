"""Several Python threads on one DBM handle opened in concurrent mode."""

import subprocess
import sys
import threading
import time

import pytest

import morvel

Status = morvel.Status
NUM_THREADS = 4
NUM_ROUNDS = 300
NUM_FIXED = 200


def run_threads(targets):
    """Starts one thread per target together; returns the exceptions raised."""
    errors = []
    barrier = threading.Barrier(len(targets))

    def wrap(target):
        try:
            barrier.wait()
            target()
        except BaseException as error:  # reported to the test below
            errors.append(error)

    threads = [threading.Thread(target=wrap, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def cas_increment(db, key):
    """Adds one to a decimal counter with CompareExchange; returns the retries."""
    retries = 0
    while True:
        st, current = db.CompareExchangeAndGet(key, morvel.DBM.ANY_DATA, morvel.DBM.ANY_DATA)
        desired = "1" if current is None else str(int(current) + 1)
        st = db.CompareExchange(key, current, desired)
        if st == Status.SUCCESS:
            return retries
        assert st == Status.INFEASIBLE_ERROR, str(st)
        retries += 1


def test_counters_stay_exact_under_threads(concurrent_anydb):
    db = concurrent_anydb

    def worker(tid):
        def body():
            for i in range(NUM_ROUNDS):
                key = f"t{tid}-{i}"
                assert db.Set(key, str(i)).IsOK()
                assert db.Get(key) == str(i).encode()
                assert db.Increment("counter", 1) is not None
                cas_increment(db, "cas")
        return body

    errors = run_threads([worker(tid) for tid in range(NUM_THREADS)])
    assert errors == []
    total = NUM_THREADS * NUM_ROUNDS
    assert db.Increment("counter", morvel.Utility.INT64MIN) == total
    assert db.GetStr("cas") == str(total)
    assert db.Count() == total + 2


def test_iteration_ends_normally_while_others_write(concurrent_anydb):
    db = concurrent_anydb
    fixed = {f"fixed{i:04d}".encode() for i in range(NUM_FIXED)}
    for key in fixed:
        db.Set(key, "f")
    seen = []

    def iterate():
        it = db.MakeIterator()
        assert it.First().IsOK()
        while True:
            record = it.Get()
            if record is None:
                break
            seen.append(record[0])
            it.Next()

    def writer(tid):
        def body():
            for i in range(NUM_ROUNDS):
                key = f"w{tid}-{i}"
                assert db.Set(key, "x").IsOK()
                if i % 2:
                    assert db.Remove(key).IsOK()
        return body

    errors = run_threads([iterate] + [writer(tid) for tid in range(NUM_THREADS - 1)])
    assert errors == []
    assert fixed <= set(seen)
    assert all(key in fixed or key.startswith(b"w") for key in seen)
    assert db.Count() == NUM_FIXED + (NUM_THREADS - 1) * NUM_ROUNDS // 2


def test_set_and_get_hands_every_value_on_exactly_once(concurrent_anydb):
    db = concurrent_anydb
    olds = []

    def worker(tid):
        def body():
            for i in range(NUM_ROUNDS):
                st, old = db.SetAndGet("slot", f"{tid}-{i}")
                assert st.IsOK()
                olds.append(old)
        return body

    errors = run_threads([worker(tid) for tid in range(NUM_THREADS)])
    assert errors == []
    st, last = db.RemoveAndGet("slot")
    assert st.IsOK()
    written = {f"{tid}-{i}" for tid in range(NUM_THREADS) for i in range(NUM_ROUNDS)}
    # Each value written is read back once: as the old value of the next write,
    # or by the final removal; only the first write finds nothing.
    handed_on = olds + [last]
    assert handed_on.count(None) == 1
    assert sorted(v for v in handed_on if v is not None) == sorted(written)


# A child process that opens |sys.argv[2]| writable with the class named in
# |sys.argv[1]|, holding its file lock until it reads a line (or a safety bound
# passes), then closes and exits.
LOCK_HOLDER = """
import select, sys, morvel
handle = getattr(morvel, sys.argv[1])()
assert handle.Open(sys.argv[2], True).IsOK()
print("locked", flush=True)
select.select([sys.stdin], [], [], 120)
handle.Close()
"""


@pytest.mark.parametrize("cls, name", [("DBM", "casket.mvh"), ("File", "data.txt")])
@pytest.mark.parametrize("concurrent", [False, True])
def test_waiting_for_another_process_lock_lets_threads_run(tmp_path, cls, name, concurrent):
    """Open waits for the file lock of another process with the interpreter
    lock released, whatever the mode: another thread keeps going meanwhile and
    is the one that ends the wait, by letting the child go."""
    path = str(tmp_path / name)
    with subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, cls, path],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        assert child.stdout.readline() == "locked\n"
        in_open = threading.Event()
        progress = []

        def counter():
            in_open.wait()
            while len(progress) < 20 and in_open.is_set():
                time.sleep(0.01)
                progress.append(in_open.is_set())
            child.stdin.write("go\n")
            child.stdin.flush()

        thread = threading.Thread(target=counter, daemon=True)
        thread.start()
        handle = getattr(morvel, cls)()
        in_open.set()
        status = handle.Open(path, True, concurrent=concurrent)
        in_open.clear()
        thread.join()
        assert status.IsOK()
        handle.Close()
        assert progress == [True] * 20
