"""The persistent hash database through the module: persistence, rebuilding,
restoring after a crash, damaged files and threads."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import morvel
from morvel import DBM, Status

MODES = ["in_place", "appending"]


def open_hash(path, writable=True, **params):
    db = DBM()
    status = db.Open(str(path), writable, dbm="HashDBM", **params)
    assert status.IsOK(), status
    return db


@pytest.mark.parametrize("mode", MODES)
def test_records_survive_reopening(tmp_path, mode):
    path = tmp_path / "db.mvh"
    db = open_hash(path, update_mode=mode, num_buckets=31, truncate=True)
    expected = {}
    for i in range(500):
        key, value = f"key{i}".encode(), (f"value{i}-" + "x" * (i % 97)).encode()
        assert db.Set(key, value).IsOK()
        expected[key] = value
    for i in range(0, 500, 3):
        assert db.Remove(f"key{i}").IsOK()
        del expected[f"key{i}".encode()]
    assert db.Set("key1", "changed").IsOK()
    expected[b"key1"] = b"changed"
    assert db.Close().IsOK()

    db = open_hash(path, writable=False)
    assert db.IsHealthy()
    assert db.Count() == len(expected)
    assert dict(db) == expected
    info = db.Inspect()
    assert info["class"] == "HashDBM"
    assert info["update_mode"] == mode
    assert info["num_buckets"] == "31"
    assert info["healthy"] == "true"
    assert not db.Set("new", "value").IsOK()
    db.Close()


@pytest.mark.parametrize("mode", MODES)
def test_rebuild_shrinks_the_file_and_keeps_records(tmp_path, mode):
    db = open_hash(tmp_path / "db.mvh", update_mode=mode, num_buckets=1000)
    for i in range(3000):
        db.Set(f"{i:05d}", "v" * 50)
    for i in range(3000):
        if i % 20:
            db.Remove(f"{i:05d}")
    assert db.ShouldBeRebuilt()
    size = db.GetFileSize()
    assert db.Rebuild(align_pow=4).IsOK()
    assert db.GetFileSize() < size / 4
    assert not db.ShouldBeRebuilt()
    assert db.Inspect()["align_pow"] == "4"
    assert db.Count() == 150
    assert all(db.Get(f"{i:05d}") == b"v" * 50 for i in range(0, 3000, 20))
    assert db.Get("00001") is None
    db.Close()


def test_copy_of_an_open_database_opens_healthy(tmp_path):
    db = open_hash(tmp_path / "db.mvh", num_buckets=101)
    for i in range(100):
        db.Set(i, i * i)
    assert db.CopyFileData(str(tmp_path / "copy.mvh")).IsOK()
    db.Set("later", "not in the copy")
    copy = open_hash(tmp_path / "copy.mvh", writable=False)
    assert copy.IsHealthy()
    assert copy.Count() == 100
    assert copy.Get("7") == b"49"
    assert copy.Get("later") is None
    copy.Close()
    db.Close()


@pytest.mark.parametrize("mode", MODES)
def test_unclean_image_is_restored(tmp_path, mode):
    path = tmp_path / "db.mvh"
    db = open_hash(path, update_mode=mode, num_buckets=53)
    for i in range(300):
        db.Set(f"k{i}", f"v{i}")
    for i in range(0, 300, 7):
        db.Remove(f"k{i}")
    # The bytes of the file while it is open: what a crash would leave.
    image = tmp_path / "image.mvh"
    image.write_bytes(path.read_bytes())
    expected = dict(db)
    db.Close()

    noop = open_hash(image, restore_mode="noop")
    assert not noop.IsHealthy()
    assert noop.Inspect()["healthy"] == "false"
    noop.Close()

    restored = tmp_path / "restored.mvh"
    assert DBM.RestoreDatabase(str(image), str(restored)).IsOK()
    db = open_hash(restored, writable=False)
    assert db.IsHealthy()
    assert dict(db) == expected
    db.Close()

    db = open_hash(image)
    assert db.IsHealthy()
    assert dict(db) == expected
    db.Close()


@pytest.mark.parametrize("writable,params", [(False, {}), (True, {"restore_mode": "noop"})])
def test_unclean_image_opened_as_it_is_counts_what_iteration_yields(tmp_path, writable, params):
    # Read-only, len() gave the count of the last synchronization (200) while
    # iteration yielded every record the file holds (300).
    path = tmp_path / "db.mvh"
    db = open_hash(path, num_buckets=53)
    for i in range(200):
        db.Set(f"k{i}", f"v{i}")
    assert db.Synchronize(False).IsOK()
    for i in range(200, 300):
        db.Set(f"k{i}", f"v{i}")
    image = tmp_path / "image.mvh"
    image.write_bytes(path.read_bytes())
    db.Close()

    db = open_hash(image, writable=writable, **params)
    assert not db.IsHealthy()
    assert db.Inspect()["num_records_source"] == "scan"
    assert len(db) == len(dict(db)) == 300
    db.Close()


CHILD = textwrap.dedent("""
    import sys
    import morvel
    db = morvel.DBM()
    status = db.Open(sys.argv[1], True, dbm="HashDBM", update_mode=sys.argv[2],
                     num_buckets=97)
    assert status.IsOK(), status
    i = int(sys.argv[3])
    while True:
        db.Set(f"k{i}", f"v{i}" * (1 + i % 9))
        if i % 3 == 0:
            db.Remove(f"k{i - 1}")
        i += 1
        if i % 17 == 0:
            db.Synchronize(True)
            print(i, flush=True)
""")


@pytest.mark.parametrize("mode", MODES)
def test_killed_writer_loses_nothing_synchronized(tmp_path, mode):
    path = str(tmp_path / "db.mvh")
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    start = 0
    acked_ranges = []
    for round_ in range(4):
        child = subprocess.Popen([sys.executable, str(script), path, mode, str(start)],
                                 stdout=subprocess.PIPE, text=True, env=env)
        # Wait for a first acknowledgement, then kill at once or a moment later.
        first = child.stdout.readline()
        assert first, "the child wrote nothing"
        time.sleep(0.01 * round_)
        child.send_signal(signal.SIGKILL)
        rest = child.stdout.read()
        child.wait()
        acked = int((first + rest).split()[-1])

        acked_ranges.append((start, acked))

        db = open_hash(path)
        assert db.IsHealthy()
        # Every round's synchronized writes, this one's and the earlier ones.
        for begin, end in acked_ranges:
            for i in range(begin, end):
                value = db.Get(f"k{i}")
                written = (f"v{i}" * (1 + i % 9)).encode()
                if i % 3 == 2 and i + 1 < end:
                    assert value is None, i
                elif i % 3 == 2 and i + 1 == end:
                    # Its removal comes right after the acknowledgement.
                    assert value in (None, written), i
                else:
                    assert value == written, i
        # Whatever got in after the acknowledgement is whole.
        for key, value in db:
            i = int(key[1:])
            assert value == (f"v{i}" * (1 + i % 9)).encode()
        db.Close()
        start = acked + 1000


@pytest.mark.parametrize("damage", ["bad magic", "short header", "truncated buckets",
                                    "flipped tuning", "zero length"])
def test_damaged_file_is_refused_or_restored(tmp_path, damage):
    path = tmp_path / "db.mvh"
    db = open_hash(path, num_buckets=11)
    for i in range(50):
        db.Set(f"k{i}", f"v{i}")
    db.Close()
    data = bytearray(path.read_bytes())
    if damage == "bad magic":
        data[0:8] = b"NOTADBM!"
    elif damage == "short header":
        data = data[:40]
    elif damage == "truncated buckets":
        data = data[:150]
    elif damage == "flipped tuning":
        data[17] ^= 0xFF
    else:
        data = b""
    path.write_bytes(bytes(data))
    db = DBM()
    status = db.Open(str(path), False, dbm="HashDBM")
    assert status == Status.BROKEN_DATA_ERROR
    assert not db.IsOpen()
    status = db.Open(str(path), True, dbm="HashDBM")
    if damage in ("truncated buckets", "zero length"):
        # Nothing survives past the cut: it opens (restored or new) and works.
        assert status.IsOK(), status
        assert db.IsHealthy()
        assert db.Set("a", "b").IsOK() and db.Get("a") == b"b"
        db.Close()
    else:
        assert status == Status.BROKEN_DATA_ERROR


def test_threads_write_and_count_exactly(tmp_path):
    db = DBM()
    assert db.Open(str(tmp_path / "db.mvh"), True, dbm="HashDBM", concurrent=True,
                   num_buckets=1009).IsOK()
    errors = []

    def work(t):
        for i in range(2000):
            if not db.Set(f"{t}:{i}", f"{i}").IsOK():
                errors.append((t, i))
            db.Increment("total", 1)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert db.Count() == 8001
    assert db.Increment("total", 0) == 8000
    assert db.Get("3:1999") == b"1999"
    db.Close()
