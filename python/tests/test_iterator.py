"""Iterator: construction, positioning, reading, writing and the text forms."""

import threading

import pytest

import morvel

Iterator = morvel.Iterator
Status = morvel.Status


def invalid(word):
    return pytest.raises(TypeError, match="^invalid arguments: " + word + "$")


def fill(db, records):
    for key, value in records.items():
        db[key] = value


def test_constructor_and_make_iterator(anydb):
    fill(anydb, {"a": "1"})
    for it in (Iterator(anydb), anydb.MakeIterator()):
        assert type(it) is Iterator
        assert it.First().IsOK()
        assert it.Get() == (b"a", b"1")


@pytest.mark.parametrize("args, word", [
    ((), "too few arguments"), ((1, 2), "too many arguments"),
    (("db",), "the argument is not a DBM"), ((None,), "the argument is not a DBM"),
])
def test_constructor_argument_errors(args, word):
    with invalid(word):
        Iterator(*args)


def test_constructor_on_a_closed_handle(anydb):
    with invalid("not opened database"):
        Iterator(morvel.DBM())
    anydb.Close()
    with invalid("not opened database"):
        Iterator(anydb)
    with invalid("not opened database"):
        anydb.MakeIterator()


def test_reinit_replaces_the_engine_iterator(make_db):
    first_db, second_db = make_db("tiny"), make_db("baby")
    first_db["one"] = "1"
    second_db["two"] = "2"
    it = Iterator(first_db)
    it.First()
    assert it.GetKey() == b"one"
    it.__init__(second_db)
    it.First()
    assert it.GetKey() == b"two"
    with invalid("the argument is not a DBM"):
        it.__init__(5)
    assert it.GetKey() == b"two"


UNINITIALISED_CALLS = [
    ("First", ()), ("Last", ()), ("Jump", ("k",)), ("JumpLower", ("k",)),
    ("JumpUpper", ("k", True)), ("Next", ()), ("Previous", ()), ("Get", ()),
    ("GetStr", ()), ("GetKey", ()), ("GetKeyStr", ()), ("GetValue", ()),
    ("GetValueStr", ()), ("Set", ("v",)), ("Remove", ()), ("Step", ()),
    ("StepStr", ()), ("__next__", ()),
]


@pytest.mark.parametrize("name, args", UNINITIALISED_CALLS)
def test_an_uninitialised_iterator_raises(name, args):
    it = Iterator.__new__(Iterator)
    with invalid("not initialized iterator"):
        getattr(it, name)(*args)
    assert str(it) == "(unlocated)"
    assert repr(it) == "<morvel.Iterator: key=(unlocated)>"


def test_an_iterator_is_not_iterable(anydb):
    with pytest.raises(TypeError):
        iter(anydb.MakeIterator())


def test_next_reads_then_advances(anydb):
    records = {f"k{i}".encode(): f"v{i}".encode() for i in range(10)}
    fill(anydb, records)
    it = anydb.MakeIterator()
    assert it.First().IsOK()
    seen = []
    with pytest.raises(StopIteration, match="^end of iteration$"):
        while True:
            seen.append(next(it))
    assert dict(seen) == records and len(seen) == len(records)
    # An ended iterator stays usable; First restarts it.
    with pytest.raises(StopIteration):
        next(it)
    assert it.First().IsOK()
    assert next(it) in records.items()


def test_reading_an_empty_database(anydb):
    it = anydb.MakeIterator()
    it.First()
    receiver = Status()
    assert it.Get(receiver) is None
    assert receiver == Status.NOT_FOUND_ERROR
    assert it.GetKey() is None and it.GetValueStr() is None
    with pytest.raises(StopIteration):
        next(it)


READERS = [
    ("Get", (b"a", b"1")), ("GetStr", ("a", "1")), ("GetKey", b"a"),
    ("GetKeyStr", "a"), ("GetValue", b"1"), ("GetValueStr", "1"),
]


@pytest.mark.parametrize("name, expected", READERS)
def test_readers_and_their_receivers(anydb, name, expected):
    fill(anydb, {"a": "1"})
    it = anydb.MakeIterator()
    it.First()
    read = getattr(it, name)
    assert read() == expected
    assert read(None) == expected
    receiver = Status(9, "stale")
    assert read(receiver) == expected
    assert receiver == Status.SUCCESS and str(receiver) == "SUCCESS"

    class MyStatus(Status):
        pass
    sub = MyStatus(3)
    assert read(sub) == expected and sub.IsOK()
    with invalid("not a status object"):
        read(1)
    with invalid("too many arguments"):
        read(None, None)


def test_text_readers_replace_bad_utf8(anydb):
    anydb[b"\xfek"] = b"v\xff"
    it = anydb.MakeIterator()
    it.First()
    assert it.Get() == (b"\xfek", b"v\xff")
    assert it.GetStr() == ("\ufffdk", "v\ufffd")
    assert it.StepStr() == ("\ufffdk", "v\ufffd")


def test_step_returns_each_record_then_none(babydb):
    fill(babydb, {"a": "1", "b": "2"})
    it = babydb.MakeIterator()
    it.First()
    assert it.Step() == (b"a", b"1")
    receiver = Status(5)
    assert it.Step(receiver) == (b"b", b"2")
    assert receiver.IsOK()
    assert it.Step(receiver) is None
    assert receiver == Status.NOT_FOUND_ERROR


def test_step_walks_every_kind(anydb):
    records = {f"k{i:02d}": f"v{i}" for i in range(30)}
    fill(anydb, records)
    it = anydb.MakeIterator()
    it.First()
    seen = {}
    while (pair := it.StepStr()) is not None:
        seen[pair[0]] = pair[1]
    assert seen == records


def test_jump_set_and_remove(anydb):
    fill(anydb, {"a": "1", "b": "2", "123": "num"})
    it = anydb.MakeIterator()
    assert it.Jump(123).IsOK()
    assert it.GetKey() == b"123"
    assert it.Jump("b").IsOK()
    assert it.Set("two").IsOK()
    assert anydb["b"] == "two"
    assert it.Set(None).IsOK()
    assert anydb[b"b"] == b""
    assert it.Jump("a").IsOK()
    assert it.Remove().IsOK()
    assert "a" not in anydb and len(anydb) == 2


@pytest.mark.parametrize("name, args, word", [
    ("Jump", (), "too few arguments"), ("Jump", ("a", "b"), "too many arguments"),
    ("Set", (), "too few arguments"), ("Set", ("a", "b"), "too many arguments"),
    ("JumpLower", (), "too few arguments"), ("JumpLower", ("a", 1, 2), "too many arguments"),
    ("JumpUpper", (), "too few arguments"), ("JumpUpper", ("a", 1, 2), "too many arguments"),
])
def test_argument_errors_leave_the_iterator_in_place(babydb, name, args, word):
    fill(babydb, {"a": "1", "b": "2"})
    it = babydb.MakeIterator()
    it.Jump("b")
    with invalid(word):
        getattr(it, name)(*args)
    assert it.GetKey() == b"b" and babydb["b"] == "2"


ORDERED_MOVES = [
    ("JumpLower", ("c",), b"b"), ("JumpLower", ("c", False), b"b"),
    ("JumpLower", ("c", 0), b"b"), ("JumpLower", ("c", True), b"c"),
    ("JumpLower", ("c", 1), b"c"), ("JumpUpper", ("c",), b"d"),
    ("JumpUpper", ("c", []), b"d"), ("JumpUpper", ("c", "yes"), b"c"),
    ("Jump", ("bb",), b"c"),
]


@pytest.mark.parametrize("name, args, key", ORDERED_MOVES)
def test_ordered_moves(babydb, name, args, key):
    fill(babydb, {k: k.upper() for k in "abcde"})
    it = babydb.MakeIterator()
    assert getattr(it, name)(*args).IsOK()
    assert it.GetKey() == key


def test_last_and_previous(babydb):
    fill(babydb, {"a": "1", "b": "2"})
    it = babydb.MakeIterator()
    assert it.Last().IsOK()
    assert it.GetKey() == b"b"
    assert it.Previous().IsOK()
    assert it.GetKey() == b"a"


def test_unordered_moves_report_not_implemented(tinydb):
    tinydb["a"] = "1"
    it = tinydb.MakeIterator()
    for status in (it.Last(), it.Previous(), it.JumpLower("a"), it.JumpUpper("a", True)):
        assert status == Status.NOT_IMPLEMENTED_ERROR


@pytest.mark.parametrize("name", ["JumpLower", "JumpUpper"])
def test_a_raising_inclusive_flag_raises_before_moving(babydb, name):
    # The key is converted first, then the flag is evaluated.
    steps = []

    class Key:
        def __str__(self):
            steps.append("key")
            return "a"

    class RaisingBool:
        def __bool__(self):
            steps.append("flag")
            raise ZeroDivisionError

    fill(babydb, {"a": "1", "b": "2"})
    it = babydb.MakeIterator()
    it.Last()
    with pytest.raises(ZeroDivisionError):
        getattr(it, name)(Key(), RaisingBool())
    assert steps == ["key", "flag"]
    assert it.GetKey() == b"b"


@pytest.mark.parametrize("key, text", [
    (b"x", "x"), (b"a\tb\n", "a\\tb\\n"), (b"\xff\x01", "\\xff\\x01"),
    ("\u00e9".encode(), "\\xc3\\xa9"), (b"back\\slash", "back\\\\slash"),
])
def test_text_forms_escape_the_key(anydb, key, text):
    anydb[key] = "v"
    it = anydb.MakeIterator()
    it.First()
    assert str(it) == text
    assert repr(it) == "<morvel.Iterator: key=" + text + ">"
    it.Next()
    assert str(it) == "(unlocated)"


def test_threads_sharing_one_iterator(make_db):
    db = make_db("baby", concurrent=True)
    fill(db, {f"k{i:04d}": "v" for i in range(2000)})
    it = db.MakeIterator()
    it.First()
    taken = []
    lock = threading.Lock()

    def worker():
        mine = []
        while (pair := it.Step()) is not None:
            mine.append(pair[0])
        with lock:
            taken.extend(mine)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Each Step reads and advances as one move, so every record is taken once.
    assert sorted(taken) == [f"k{i:04d}".encode() for i in range(2000)]


def test_iterator_calls_inside_a_callback_are_refused(anydb):
    fill(anydb, {"a": "1"})
    it = anydb.MakeIterator()
    it.First()
    seen = {}

    def callback(key, value):
        seen["First"] = it.First()
        seen["Set"] = it.Set("x")
        receiver = Status()
        seen["Get"] = (it.Get(receiver), receiver)
        seen["str"] = str(it)
        with pytest.raises(morvel.StatusException) as info:
            next(it)
        seen["next"] = info.value.GetStatus()
        return None

    assert anydb.Process("a", callback, True).IsOK()
    for name in ("First", "Set", "next"):
        assert seen[name] == Status.PRECONDITION_ERROR, name
        assert seen[name].GetMessage() == "the database is busy in a callback"
    assert seen["Get"][0] is None and seen["Get"][1] == Status.PRECONDITION_ERROR
    assert seen["str"] == "(unlocated)"
    assert it.Get() == (b"a", b"1") and anydb["a"] == "1"


def damaged_database(path, damaged):
    """A closed hash database of 20 records whose values in the file are
    damaged for the keys numbered in |damaged|; returns all its records."""
    records = {b"key%02d" % i: b"value-%02d-" % i + b"x" * 20 for i in range(20)}
    db = morvel.DBM()
    assert db.Open(str(path), True, truncate=True, num_buckets=10).IsOK()
    for key, value in records.items():
        db[key] = value
    assert db.Close().IsOK()
    data = bytearray(path.read_bytes())
    for i in damaged:
        at = data.find(b"value-%02d-" % i)
        data[at + 12] ^= 0xFF
    path.write_bytes(data)
    return records


# The iteration forms of a DBM and of an Iterator.
def _walk_with_next(db):
    it = db.MakeIterator()
    it.First()
    seen = {}
    while True:
        key, value = next(it)
        seen[key] = value


ITERATION_FORMS = {
    "dict": dict,
    "list": lambda db: dict(list(db)),
    "for": lambda db: {key: value for key, value in db},
    "next": _walk_with_next,
}


@pytest.mark.parametrize("form", ITERATION_FORMS.values(), ids=list(ITERATION_FORMS))
@pytest.mark.parametrize("damaged", [[7], list(range(20))], ids=["one record", "every record"])
@pytest.mark.parametrize("writable, params", [(False, {}), (True, {"restore_mode": "noop"})],
                         ids=["read-only", "noop restore"])
def test_iteration_raises_on_a_read_error_instead_of_ending(tmp_path, form, damaged, writable,
                                                            params):
    """A damaged record made every iteration end early without an error:
    dict(db) gave 14 of 20 records as if that were all."""
    path = tmp_path / "damaged.mvh"
    damaged_database(path, damaged)
    db = morvel.DBM()
    assert db.Open(str(path), writable, **params).IsOK()
    try:
        with pytest.raises(morvel.StatusException) as info:
            form(db)
        assert info.value.GetStatus() == morvel.Status.BROKEN_DATA_ERROR
    finally:
        db.Close()


def test_an_iterator_goes_on_after_a_raised_read_error(tmp_path):
    path = tmp_path / "damaged.mvh"
    records = damaged_database(path, [7])
    db = morvel.DBM()
    assert db.Open(str(path), False).IsOK()
    try:
        it = db.MakeIterator()
        it.First()
        seen = []
        with pytest.raises(morvel.StatusException):
            while True:
                seen.append(next(it))
        assert 0 < len(seen) < 20
        assert all(records[key] == value for key, value in seen)
        # The iterator never claims an end it has not reached: the failure
        # stays until a new positioning starts over.
        with pytest.raises(morvel.StatusException):
            next(it)
        assert it.First().IsOK()
        assert next(it) == seen[0]
    finally:
        db.Close()



# Walks of a whole database, each giving the records in the order met, so that
# a record met twice shows.
def _walk_with_step(db):
    it = db.MakeIterator()
    it.First()
    records = []
    while (record := it.Step()) is not None:
        records.append(record)
    return records


def _walk_with_get_and_next(db):
    it = db.MakeIterator()
    it.First()
    records = []
    while (record := it.Get()) is not None:
        records.append(record)
        it.Next()
    return records


RECORD_WALKS = {
    "for": lambda db: [record for record in db],
    "list": list,
    "Step": _walk_with_step,
    "Get+Next": _walk_with_get_and_next,
}

# More records than the engine reads ahead at once, so walks cross batches.
NUM_STABLE = 3000


@pytest.mark.parametrize("walk", RECORD_WALKS.values(), ids=list(RECORD_WALKS))
def test_walks_meet_each_stable_record_once_while_others_write(concurrent_anydb, walk):
    db = concurrent_anydb
    stable = {b"stable%05d" % i for i in range(NUM_STABLE)}
    for key in stable:
        db[key] = "v0"
    stop = threading.Event()
    errors = []

    def writer():
        try:
            round_ = 0
            while not stop.is_set():
                round_ += 1
                db[b"stable%05d" % (round_ * 7 % NUM_STABLE)] = "v%d" % round_
                db["moving%d" % (round_ % 300)] = "m"
        except Exception as e:  # reported by the main thread
            errors.append(e)

    def remover():
        try:
            round_ = 0
            while not stop.is_set():
                round_ += 1
                db.Remove("moving%d" % (round_ * 3 % 300))
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=writer), threading.Thread(target=remover)]
    for t in threads:
        t.start()
    try:
        for _ in range(2):
            met = [(key, value) for key, value in walk(db) if key.startswith(b"stable")]
            assert sorted(key for key, _ in met) == sorted(stable)
            assert all(value.startswith(b"v") for _, value in met)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == []


def test_writes_at_the_cursor_across_batches(anydb):
    records = {b"k%05d" % i: b"v%05d" % i for i in range(1500)}
    fill(anydb, records)
    expected = {}
    met = []
    it = anydb.MakeIterator()
    it.First()
    i = 0
    while (record := it.Get()) is not None:
        key, value = record
        met.append(key)
        if i % 4 == 0:
            assert it.Remove().IsOK()
        elif i % 4 == 1:
            assert it.Set(b"new-" + key).IsOK()
            assert it.Get() == (key, b"new-" + key)
            assert next(it) == (key, b"new-" + key)
            expected[key] = b"new-" + key
        elif i % 4 == 2:
            assert it.Step() == (key, value)
            expected[key] = value
        else:
            assert it.Next().IsOK()
            expected[key] = value
        i += 1
    assert sorted(met) == sorted(records)
    assert dict(anydb) == expected


# Rebuilds that keep the layout (the hash kind opens with 1000 buckets), so the
# walk stays exact across them.
@pytest.mark.parametrize("kind, params, layout", [
    ("hash", {}, {"num_buckets": 1000}),
    ("tiny", {"num_buckets": 1000}, {"num_buckets": 1000}),
    ("baby", {}, {}),
])
def test_rebuild_in_the_middle_of_a_walk(make_db, kind, params, layout):
    db = make_db(kind, **params)
    keys = {b"k%05d" % i for i in range(2000)}
    fill(db, {key: b"v" for key in keys})
    it = iter(db)
    met = [next(it)[0] for _ in range(700)]
    assert db.Rebuild(**layout).IsOK()
    while True:
        try:
            met.append(next(it)[0])
        except StopIteration:
            break
    assert sorted(met) == sorted(keys)
