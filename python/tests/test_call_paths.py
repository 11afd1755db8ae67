"""The fast paths of the module's calls: argument checks of the vectorcall
methods, key kinds, reads of values of any length, the interpreter lock in
concurrent mode, and scans handed out from read-ahead batches."""

import sys
import threading

import pytest

import morvel

Status = morvel.Status

# (class to make the object from, method, positional arguments, message).
BAD_CALLS = [
    ("dbm", "Get", (), "invalid arguments: too few arguments"),
    ("dbm", "Get", ("k", None, 1), "invalid arguments: too many arguments"),
    ("dbm", "Get", ("k", 1), "invalid arguments: not a status object"),
    ("dbm", "GetStr", (), "invalid arguments: too few arguments"),
    ("dbm", "Set", ("k",), "invalid arguments: too few arguments"),
    ("dbm", "Set", ("k", "v", True, 1), "invalid arguments: too many arguments"),
    ("dbm", "Remove", (), "invalid arguments: too few arguments"),
    ("dbm", "Remove", ("k", "v"), "invalid arguments: too many arguments"),
    ("dbm", "Append", ("k",), "invalid arguments: too few arguments"),
    ("dbm", "Increment", (), "invalid arguments: too few arguments"),
    ("dbm", "Increment", ("k", 1, 0, None, 1), "invalid arguments: too many arguments"),
    ("dbm", "Increment", ("k", 1, 0, "s"), "invalid arguments: not a status object"),
    ("dbm", "CompareExchangeMulti", ([], 1), "invalid arguments: parameters must be sequences of strings"),
    ("dbm", "Process", ("k", 1, True), "invalid arguments: non callable is given"),
    ("iter", "Get", (1,), "invalid arguments: not a status object"),
    ("iter", "Jump", (), "invalid arguments: too few arguments"),
    ("iter", "Step", (None, 1), "invalid arguments: too many arguments"),
    ("file", "Write", (0,), "invalid arguments: too few arguments"),
    ("file", "Read", (0, 1, None, 1), "invalid arguments: too many arguments"),
    ("async", "Get", (), "invalid arguments: too few arguments"),
    ("async", "Set", ("k",), "invalid arguments: too few arguments"),
]


@pytest.fixture
def call_targets(tmp_path):
    """One open object of each class the bad-call table names."""
    db = morvel.DBM()
    assert db.Open("", True).IsOK()
    db.Set("k", "v")
    file = morvel.File()
    assert file.Open(str(tmp_path / "f.txt"), True).IsOK()
    async_db = morvel.AsyncDBM(db, 1)
    yield {"dbm": db, "iter": db.MakeIterator(), "file": file, "async": async_db}
    async_db.Destruct()
    file.Close()
    db.Close()


@pytest.mark.parametrize("target, method, args, message", BAD_CALLS)
def test_bad_calls_raise_their_message(call_targets, target, method, args, message):
    with pytest.raises(TypeError) as raised:
        getattr(call_targets[target], method)(*args)
    assert str(raised.value) == message


@pytest.mark.parametrize("target, method", [("dbm", "Get"), ("dbm", "Set"), ("iter", "Step"),
                                            ("file", "Read"), ("async", "Get")])
def test_keyword_arguments_are_refused_by_positional_methods(call_targets, target, method):
    with pytest.raises(TypeError, match=rf"^\w+\.{method}\(\) takes no keyword arguments$"):
        getattr(call_targets[target], method)(key="k")


def test_calls_on_a_closed_database_raise_before_the_count_check():
    db = morvel.DBM()
    for call in (lambda: db.Get(), lambda: db.Set(), lambda: db["k"], lambda: "k" in db):
        with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
            call()


class StrKey:
    def __str__(self):
        return "obj-key"


class BadStr:
    def __str__(self):
        raise ValueError("no text")


# (key as given, bytes the engine sees).
KEY_KINDS = [
    (b"bytes-key", b"bytes-key"),
    ("ascii-key", b"ascii-key"),
    ("v\u00e9ri\u00e9", "v\u00e9ri\u00e9".encode()),
    ("\u6771\u4eac\U0001f600", "\u6771\u4eac\U0001f600".encode()),
    ("lone\udcff", b"lone\xff"),
    (bytearray(b"array-key"), b"array-key"),
    (type("SubStr", (str,), {})("sub-key"), b"sub-key"),
    (12345, b"12345"),
    (None, b""),
    (StrKey(), b"obj-key"),
    (BadStr(), b"(unknown)"),
]


@pytest.mark.parametrize("concurrent", [False, True])
@pytest.mark.parametrize("key, raw", KEY_KINDS, ids=lambda v: type(v).__name__)
def test_every_key_kind_reaches_the_same_record(make_db, concurrent, key, raw):
    db = make_db("hash", concurrent=concurrent)
    assert db.Set(key, b"value").IsOK()
    # The same text twice: a str's kept UTF-8 form must give the same bytes.
    assert db.Set(key, b"value2").IsOK()
    assert db.Get(raw) == b"value2"
    assert db.Get(key) == b"value2"
    assert key in db
    assert db[key] == (b"value2" if not isinstance(key, str) else "value2")
    db[key] = "value3"
    assert db.GetStr(raw) == "value3"
    assert db.Increment(b"n" + raw, 2) == 2
    assert db.Remove(key).IsOK()
    assert key not in db
    assert list(db) == [(b"n" + raw, (2).to_bytes(8, "big"))]


def test_reads_through_every_class(anydb):
    db = anydb
    db.Set(b"key", b"\x00\xffvalue")
    db.Set("text", "\u00e9t\u00e9")
    status = Status()
    assert db.Get(b"key", status) == b"\x00\xffvalue" and status.IsOK()
    assert db.GetStr("text", status) == "\u00e9t\u00e9" and status.IsOK()
    assert db.Get("missing", status) is None
    assert status.GetCode() == Status.NOT_FOUND_ERROR and status.GetMessage() == ""
    assert db["text"] == "\u00e9t\u00e9" and db[b"text"] == "\u00e9t\u00e9".encode()
    with pytest.raises(morvel.StatusException) as raised:
        db["missing"]
    assert raised.value.args[0].GetCode() == Status.NOT_FOUND_ERROR
    assert ("key" in db, "missing" in db) == (True, False)


def test_a_conversion_that_closes_the_database_gets_the_closed_status(make_db):
    db = make_db("hash")
    db.Set("obj-key", "v")

    class ClosingKey:
        def __str__(self):
            db.Close()
            return "obj-key"

    status = Status()
    assert db.Get(ClosingKey(), status) is None
    assert status.GetCode() == Status.PRECONDITION_ERROR
    assert not db.IsOpen()


@pytest.mark.parametrize("concurrent", [False, True])
def test_values_of_any_length_read_exactly(make_db, concurrent):
    db = make_db("hash", concurrent=concurrent)
    # Long and short values alternate, so reads switch between keeping and
    # releasing the interpreter lock in concurrent mode.
    sizes = [0, 1, 100, 40000, 5, 300000, 32767, 32768, 7]
    values = {f"k{i}": bytes((i + j) % 251 for j in range(size)) for i, size in enumerate(sizes)}
    for key, value in values.items():
        assert db.Set(key, value).IsOK()
    for _ in range(2):
        for key, value in values.items():
            assert db.Get(key) == value
            assert db[key] == value.decode("latin-1").encode("latin-1").decode("utf-8", "replace")
            assert db.GetStr(key) == value.decode("utf-8", "replace")
        assert db.Append("k3", b"+", b"") .IsOK()
        values["k3"] += b"+"


def test_threads_reading_long_values_each_get_their_own(make_db):
    db = make_db("hash", concurrent=True)
    values = {f"k{i}".encode(): bytes([i]) * (50000 + i) for i in range(8)}
    for key, value in values.items():
        db.Set(key, value)
    mismatches = []

    def reader(keys):
        for _ in range(40):
            for key in keys:
                if db.Get(key) != values[key]:
                    mismatches.append(key)

    keys = sorted(values)
    threads = [threading.Thread(target=reader, args=(keys[i::2],)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


@pytest.fixture
def fast_switching():
    """Makes threads switch often, so that they interleave within each call."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_threads_with_callbacks_into_the_same_database_finish(make_db, fast_switching):
    db = make_db("hash")
    for i in range(50):
        db.Set(f"k{i}", "0")
    results = {"busy": 0}
    errors = []

    def callback(key, value):
        # Calling back into the database that runs the callable is refused
        # at once instead of waiting on the record lock the caller holds.
        status = Status()
        if db.Get(key, status) is None and status.GetCode() == Status.PRECONDITION_ERROR:
            results["busy"] += 1
        return str(int(value) + 1)

    def processor():
        try:
            for _ in range(20):
                for i in range(50):
                    assert db.Process(f"k{i}", callback, True).IsOK()
        except BaseException as error:
            errors.append(error)

    def getter():
        try:
            for _ in range(400):
                for i in range(50):
                    status = Status()
                    db.Get(f"k{i}", status)
                    assert status.IsOK() or status.GetCode() == Status.PRECONDITION_ERROR
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=processor), threading.Thread(target=getter)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "threads deadlocked"
    assert errors == []
    assert results["busy"] == 20 * 50
    assert all(db.GetStr(f"k{i}") == "20" for i in range(50))


def test_concurrent_calls_with_an_asynchronous_adapter_alive(make_db, fast_switching):
    db = make_db("hash", concurrent=True)
    adapter = morvel.AsyncDBM(db, 2)
    futures = [adapter.Set(f"a{i}", "x" * 1000) for i in range(200)]
    for i in range(200):
        assert db.Set(f"s{i}", str(i)).IsOK()
        assert db.GetStr(f"s{i}") == str(i)
    assert all(future.Get().IsOK() for future in futures)
    adapter.Destruct()
    assert db.Count() == 400


@pytest.mark.parametrize("kind", ["hash", "tiny", "baby", "tree", "shard-baby"])
def test_scan_under_writes_hands_out_each_stable_record_once(make_db, kind, fast_switching):
    db = make_db(kind, concurrent=True)
    stable = {f"stable{i:05d}".encode(): f"value{i}".encode() * (1 + i % 7) for i in range(3000)}
    for key, value in stable.items():
        db.Set(key, value)
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            db.Set(f"churn{i % 500:04d}", "c" * (i % 50))
            if i % 3 == 0:
                db.Remove(f"churn{(i * 7) % 500:04d}")
            i += 1

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(3):
            seen = {}
            for key, value in db:
                assert key not in seen, key
                seen[key] = value
            assert {k: v for k, v in seen.items() if k.startswith(b"stable")} == stable
            assert all(k.startswith((b"stable", b"churn")) for k in seen)
    finally:
        stop.set()
        thread.join()


def test_pairs_kept_by_the_caller_stay_as_handed_out(anydb):
    db = anydb
    records = {f"key{i:03d}".encode(): f"value{i}".encode() for i in range(1200)}
    for key, value in records.items():
        db.Set(key, value)
    kept = list(db)
    assert len(kept) == len(records) and dict(kept) == records
    it = iter(db)
    first = next(it)
    second = next(it)
    third_key, third_value = next(it)
    assert first != second and third_key not in (first[0], second[0])
    assert records[first[0]] == first[1] and records[second[0]] == second[1]
    assert records[third_key] == third_value
    rest = []
    while True:
        try:
            rest.append(next(it)[0])
        except StopIteration:
            break
    assert {first[0], second[0], third_key, *rest} == set(records)
    assert len(rest) == len(records) - 3
