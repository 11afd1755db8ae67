"""Callback methods of DBM: Process, ProcessMulti and ProcessEach, and what a
database refuses while one of its callables runs."""

import threading

import pytest

import morvel
from child_process import run_child

Status = morvel.Status
BUSY = Status.PRECONDITION_ERROR


class Recorder:
    """A callable that records its calls and answers from a fixed value."""

    def __init__(self, answer=None):
        self.answer = answer
        self.calls = []

    def __call__(self, key, value):
        self.calls.append((key, value))
        return self.answer


def test_process_sees_the_record_and_stores_the_answer(anydb):
    anydb.Set("k", "old")
    f = Recorder("new")
    assert anydb.Process("k", f, True) == Status.SUCCESS
    assert f.calls == [(b"k", b"old")]
    assert anydb.Get("k") == b"new"
    g = Recorder("created")
    assert anydb.Process("missing", g, True).IsOK()
    assert g.calls == [(b"missing", None)]
    assert anydb.Get("missing") == b"created"


# (callable's answer, value stored afterwards or None when removed)
ANSWERS = [
    (None, b"old"),
    (False, None),
    (True, b"True"),
    (7, b"7"),
    ("", b""),
    ("\u00e9", b"\xc3\xa9"),
    (b"\x00\xff", b"\x00\xff"),
    (bytearray(b"ba"), b"ba"),
    (0, b"0"),
]


@pytest.mark.parametrize("answer,after", ANSWERS)
def test_answers_of_a_callable(anydb, answer, after):
    for key in ["p", "m", "e"]:
        anydb.Set(key, "old")
    assert anydb.Process("p", lambda k, v: answer, True).IsOK()
    assert anydb.ProcessMulti([("m", lambda k, v: answer)], True).IsOK()
    assert anydb.ProcessEach(lambda k, v: answer if k == b"e" else None, True).IsOK()
    for key in ["p", "m", "e"]:
        assert anydb.Get(key) == after, key


def test_false_for_a_missing_record_changes_nothing(anydb):
    anydb.Process("k", lambda k, v: False, True)
    assert anydb.Get("k") is None
    assert anydb.Count() == 0


def test_process_key_conversion(anydb):
    f = Recorder("x")
    anydb.Process(12, f, True)
    anydb.Process(None, f, True)
    anydb.Process(bytearray(b"\x00b"), f, True)
    assert [call[0] for call in f.calls] == [b"12", b"", b"\x00b"]
    assert anydb.GetMulti("12", "", b"\x00b") == {b"12": b"x", b"": b"x", b"\x00b": b"x"}


def test_read_only_processing_refuses_changes(anydb):
    anydb.Set("k", "old")
    for answer in [None, "new", False]:
        st = anydb.Process("k", lambda k, v: answer, False)
        assert st == (Status.SUCCESS if answer is None else Status.PRECONDITION_ERROR)
        st = anydb.ProcessMulti([("k", lambda k, v: answer)], False)
        assert st == (Status.SUCCESS if answer is None else Status.PRECONDITION_ERROR)
        st = anydb.ProcessEach(lambda k, v: answer, False)
        assert st == (Status.SUCCESS if answer is None else Status.PRECONDITION_ERROR)
    assert anydb.Get("k") == b"old"
    assert anydb.Process("missing", lambda k, v: "x", 0) == Status.PRECONDITION_ERROR
    assert anydb.Count() == 1


def test_process_each_visits_every_record(anydb):
    records = {f"k{i}".encode(): f"v{i}".encode() for i in range(50)}
    records[b"\x00bin"] = b"\xff\x00"
    for key, value in records.items():
        anydb.Set(key, value)
    f = Recorder()
    assert anydb.ProcessEach(f, False).IsOK()
    seen = [call for call in f.calls if call != (None, None)]
    assert sorted(seen) == sorted(records.items())


def test_process_each_visits_in_key_order(babydb):
    for key in ["b", "c", "a"]:
        babydb.Set(key, key)
    f = Recorder()
    assert babydb.ProcessEach(f, False).IsOK()
    assert [call[0] for call in f.calls if call[0] is not None] == [b"a", b"b", b"c"]


def test_process_each_rewrites_and_empties(anydb):
    for i in range(200):
        anydb.Set(str(i), str(i))

    def drop_odd_mark_even(key, value):
        if value is None:
            return None
        return False if int(value) % 2 else value + b"!"

    assert anydb.ProcessEach(drop_odd_mark_even, True).IsOK()
    expected = {str(i): f"{i}!" for i in range(0, 200, 2)}
    assert anydb.GetMultiStr(*[str(i) for i in range(200)]) == expected
    assert anydb.Count() == 100
    assert anydb.ProcessEach(lambda k, v: False, True).IsOK()
    assert anydb.Count() == 0


def test_process_multi_calls_each_callable_for_its_key(anydb):
    anydb.Set("a", "1")
    f, g = Recorder("fa"), Recorder("gb")
    assert anydb.ProcessMulti([("a", f), ["b", g]], True).IsOK()
    assert f.calls == [(b"a", b"1")]
    assert g.calls == [(b"b", None)]
    assert anydb.GetMulti("a", "b") == {b"a": b"fa", b"b": b"gb"}


def test_process_multi_skips_unusable_items(anydb):
    f = Recorder("x")
    items = [("a", f), "x", ("b",), ("c", 5), 17, None, ("d", f, "extra")]
    assert anydb.ProcessMulti(items, True).IsOK()
    assert f.calls == [(b"a", None), (b"d", None)]
    assert anydb.GetMulti("a", "b", "c", "d", "x") == {b"a": b"x", b"d": b"x"}
    assert anydb.ProcessMulti([], True).IsOK()
    assert anydb.ProcessMulti((), False).IsOK()


def test_process_multi_with_a_repeated_key(anydb):
    anydb.Set("a", "1")
    first, second = Recorder("2"), Recorder("3")
    assert anydb.ProcessMulti([("a", first), ("a", second)], True).IsOK()
    assert first.calls == [(b"a", b"1")]
    assert second.calls == [(b"a", b"2")]
    assert anydb.Get("a") == b"3"


class BrokenSequence:
    def __len__(self):
        return 2 ** 62

    def __getitem__(self, index):
        if index == 0:
            return ("a", lambda k, v: "x")
        raise IndexError("gone")


def test_process_multi_of_an_unreadable_sequence_raises(anydb):
    with pytest.raises(IndexError):
        anydb.ProcessMulti(BrokenSequence(), True)
    assert anydb.Count() == 0


ARG_ERRORS = [
    ("Process", ("k", "not callable", True), "non callable is given"),
    ("Process", ("k", lambda k, v: None), "too few arguments"),
    ("Process", ("k", lambda k, v: None, True, 1), "too many arguments"),
    ("ProcessEach", (5, True), "non callable is given"),
    ("ProcessEach", (lambda k, v: None,), "too few arguments"),
    ("ProcessEach", (lambda k, v: None, True, 1), "too many arguments"),
    ("ProcessMulti", (5, True), "parameters must be sequences of tuples and strings and functions"),
    ("ProcessMulti", ({"a": len}, True), "parameters must be sequences of tuples and strings and functions"),
    ("ProcessMulti", ([],), "too few arguments"),
    ("ProcessMulti", ([], True, 1), "too many arguments"),
]


@pytest.mark.parametrize("name,args,message", ARG_ERRORS)
def test_argument_errors(anydb, name, args, message):
    with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
        getattr(anydb, name)(*args)


@pytest.mark.parametrize("call", [
    lambda db, f: db.Process("k", f, True),
    lambda db, f: db.ProcessEach(f, True),
    lambda db, f: db.ProcessMulti([("k", f), ("k2", f)], True),
])
def test_concurrent_handles_are_refused(concurrent_anydb, call):
    db = concurrent_anydb
    db.Set("k", "v")
    f = Recorder("x")
    st = call(db, f)
    assert st == Status.PRECONDITION_ERROR
    assert st.GetMessage() == "the concurrent mode is not supported"
    assert f.calls == []
    assert db.Get("k") == b"v"
    for name in ["Process", "ProcessEach", "ProcessMulti"]:
        st = getattr(db, name)()
        assert st.GetMessage() == "the concurrent mode is not supported"


class Boom(Exception):
    pass


def raising(key, value):
    raise Boom(key)


def test_a_raising_callable_raises_from_process(anydb):
    anydb.Set("k", "old")
    with pytest.raises(Boom):
        anydb.Process("k", raising, True)
    assert anydb.Get("k") == b"old"
    with pytest.raises(Boom):
        anydb.Process("missing", raising, True)
    assert anydb.Get("missing") is None
    assert anydb.Set("k", "after").IsOK()


def test_no_callable_runs_after_one_raised(anydb):
    for i in range(10):
        anydb.Set(str(i), "v")
    calls = []

    def first_raises(key, value):
        calls.append(key)
        if len(calls) == 1:
            raise Boom()
        return "changed"

    with pytest.raises(Boom):
        anydb.ProcessEach(first_raises, True)
    assert len(calls) == 1
    after = Recorder("changed")
    with pytest.raises(Boom):
        anydb.ProcessMulti([("1", raising), ("2", after), ("new", after)], True)
    assert after.calls == []
    assert anydb.GetMultiStr(*[str(i) for i in range(10)]) == {str(i): "v" for i in range(10)}
    assert anydb.Get("new") is None
    assert anydb.ProcessEach(Recorder(), False).IsOK()


class BadText:
    def __str__(self):
        raise ValueError("no text")


def test_an_answer_without_text_is_stored_as_unknown(anydb):
    assert anydb.Process("k", lambda k, v: BadText(), True).IsOK()
    assert anydb.Get("k") == b"(unknown)"


def test_a_callable_can_use_another_database(anydb, make_db):
    other = make_db("tiny")
    other.Set("src", "from other")
    anydb.Set("a", "1")

    def copy_from_other(key, value):
        other.Set("seen", value)
        return other.Get("src")

    assert anydb.Process("a", copy_from_other, True).IsOK()
    assert anydb.Get("a") == b"from other"
    assert other.Get("seen") == b"1"
    assert anydb.ProcessEach(lambda k, v: other.Get("src") + b"!", True).IsOK()
    assert anydb.Get("a") == b"from other!"


def is_busy(st):
    return st == BUSY and st.GetMessage() != ""


# Calls on the database that a callable makes while it runs; each returns True
# when the call was refused as busy by its own failure convention.
def busy_get(db):
    st = Status()
    return db.Get("a", st) is None and is_busy(st)


def busy_get_str(db):
    st = Status()
    return db.GetStr("a", st) is None and is_busy(st)


def busy_increment(db):
    st = Status()
    return db.Increment("n", 1, 0, st) is None and is_busy(st)


def busy_pop_first(db):
    st = Status()
    return db.PopFirst(st) is None and is_busy(st)


def busy_tuple(result):
    st, value = result
    return is_busy(st) and value is None


def busy_raises(call):
    with pytest.raises(morvel.StatusException) as info:
        call()
    return is_busy(info.value.GetStatus())


REENTRANT_CALLS = {
    "Get": busy_get,
    "GetStr": busy_get_str,
    "GetMulti": lambda db: db.GetMulti("a") == {} and db.GetMultiStr("a") == {},
    "Set": lambda db: is_busy(db.Set("a", "x")),
    "SetMulti": lambda db: is_busy(db.SetMulti(a="x")),
    "SetAndGet": lambda db: busy_tuple(db.SetAndGet("a", "x")),
    "Remove": lambda db: is_busy(db.Remove("a")),
    "RemoveMulti": lambda db: is_busy(db.RemoveMulti("a")),
    "RemoveAndGet": lambda db: busy_tuple(db.RemoveAndGet("a")),
    "Append": lambda db: is_busy(db.Append("a", "x")),
    "AppendMulti": lambda db: is_busy(db.AppendMulti(a="x")),
    "CompareExchange": lambda db: is_busy(db.CompareExchange("a", "1", "x")),
    "CompareExchangeAndGet": lambda db: busy_tuple(db.CompareExchangeAndGet("a", "1", "x")),
    "Increment": busy_increment,
    "CompareExchangeMulti": lambda db: is_busy(db.CompareExchangeMulti([("a", "1")],
                                                                       [("a", "x")])),
    "Rekey": lambda db: is_busy(db.Rekey("a", "b")),
    "PopFirst": busy_pop_first,
    "PushLast": lambda db: is_busy(db.PushLast("x", 1.0)),
    "Process": lambda db: is_busy(db.Process("a", lambda k, v: "x", True)),
    "ProcessMulti": lambda db: is_busy(db.ProcessMulti([("a", lambda k, v: "x")], True)),
    "ProcessEach": lambda db: is_busy(db.ProcessEach(lambda k, v: "x", True)),
    "mapping get": lambda db: busy_raises(lambda: db["a"]),
    "mapping set": lambda db: busy_raises(lambda: db.__setitem__("a", "mapped")),
    "mapping del": lambda db: busy_raises(lambda: db.__delitem__("a")),
    "mapping contains": lambda db: busy_raises(lambda: "a" in db),
    "mapping iter": lambda db: busy_raises(lambda: list(db)),
    "iterator": lambda db: busy_raises(db.MakeIterator),
}


@pytest.mark.parametrize("method", ["Process", "ProcessMulti", "ProcessEach"])
@pytest.mark.parametrize("name", sorted(REENTRANT_CALLS))
def test_a_callable_calling_its_own_database_is_refused(anydb, method, name):
    anydb.Set("a", "1")
    results = []

    def callable_(key, value):
        if key == b"a" and not results:
            results.append(REENTRANT_CALLS[name](anydb))
        return None

    if method == "Process":
        st = anydb.Process("a", callable_, True)
    elif method == "ProcessMulti":
        st = anydb.ProcessMulti([("a", callable_)], True)
    else:
        st = anydb.ProcessEach(callable_, True)
    assert st.IsOK()
    assert results == [True]
    # Nothing changed, and the database works again afterwards.
    assert anydb.GetMulti("a", "b", "n") == {b"a": b"1"}
    assert anydb.Count() == 1
    assert anydb.Set("a", "2").IsOK()


def test_an_iterator_made_before_the_callback_is_refused_inside(anydb):
    anydb.Set("a", "1")
    it = anydb.MakeIterator()
    assert it.First().IsOK()
    inside = []
    anydb.Process("a", lambda k, v: inside.append((it.Get(), it.Next())), True)
    record, st = inside[0]
    assert record is None
    assert st == BUSY
    assert it.First().IsOK()
    assert it.Get() == (b"a", b"1")


def test_nested_callbacks_on_two_databases(anydb, make_db):
    other = make_db("tiny")
    anydb.Set("a", "1")
    other.Set("b", "2")
    seen = []

    def inner(key, value):
        seen.append(is_busy(anydb.Set("a", "inner")))
        return value + b"+"

    def outer(key, value):
        assert other.Process("b", inner, True).IsOK()
        return value + b"*"

    assert anydb.Process("a", outer, True).IsOK()
    assert seen == [True]
    assert anydb.Get("a") == b"1*"
    assert other.Get("b") == b"2+"


def test_another_thread_is_refused_while_a_callable_waits(anydb):
    anydb.Set("a", "1")
    results = {}

    def writer():
        results["set"] = anydb.Set("a", "from thread")
        results["get"] = anydb.Get("a")

    def callable_(key, value):
        thread = threading.Thread(target=writer)
        thread.start()
        # Joining releases the interpreter lock while the record lock is held.
        thread.join()
        return b"from callable"

    assert anydb.Process("a", callable_, True).IsOK()
    assert is_busy(results["set"])
    assert results["get"] is None
    assert anydb.Get("a") == b"from callable"


def check_state_inside_a_callback(db):
    """The state queries and the text forms inside a callable answer as they
    do outside it, except the record count, which needs the engine's locks:
    repr shows -1 and len() raises the busy status. They used to raise, show
    "unknown" and "-", and give 0."""
    outside = (db.IsOpen(), db.IsWritable(), db.IsHealthy(), db.IsOrdered())
    texts = (repr(db).rsplit(" num_records=", 1)[0] + " num_records=-1>",
             str(db).rsplit(":", 1)[0] + ":-1")
    inside = []

    def callable_(key, value):
        inside.append((db.IsOpen(), db.IsWritable(), db.IsHealthy(), db.IsOrdered()))
        inside.append((repr(db), str(db)))
        with pytest.raises(morvel.StatusException) as info:
            len(db)
        inside.append(is_busy(info.value.GetStatus()))

    assert db.Process("a", callable_, False).IsOK()
    assert inside == [outside, texts, True]
    assert "class=unknown" not in texts[0] and "path=-" not in texts[0]


def test_state_inside_a_callback(anydb):
    anydb.Set("a", "1")
    check_state_inside_a_callback(anydb)


def test_state_inside_a_callback_of_an_unhealthy_reader(tmp_path):
    path = str(tmp_path / "casket.mvh")
    child = run_child("""
        import os, sys, morvel
        db = morvel.DBM()
        assert db.Open(sys.argv[1], True, num_buckets=10).IsOK()
        db.Set("a", "1")
        os._exit(0)
    """, path)
    assert child.returncode == 0, child.stderr
    db = morvel.DBM()
    assert db.Open(path, False).IsOK()
    try:
        assert not db.IsHealthy() and not db.IsWritable()
        check_state_inside_a_callback(db)
    finally:
        db.Close()
