"""Single-record methods of DBM: Get, Set, Remove, Append, Increment, Rekey,
PopFirst and PushLast."""

import time

import pytest

import morvel

Status = morvel.Status
INT64MIN = morvel.Utility.INT64MIN
INT64MAX = morvel.Utility.INT64MAX


def be64(data):
    return int.from_bytes(data, "big", signed=True)


def to_be64(number):
    return number.to_bytes(8, "big", signed=True)


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("truth")


# Every record method with arguments that would be valid, and with a wrong count.
CLOSED_CALLS = [
    ("Get", ("k",)), ("Get", ()), ("GetStr", ("k", None, None)),
    ("GetMulti", ("a", "b")), ("GetMultiStr", ()),
    ("Set", ("k", "v")), ("Set", ()), ("SetMulti", ()), ("SetMulti", (1, 2)),
    ("SetAndGet", ("k", "v")), ("Remove", ("k",)), ("Remove", ()),
    ("RemoveMulti", ("k",)), ("RemoveAndGet", ()), ("Append", ("k", "v")),
    ("AppendMulti", ()), ("CompareExchange", ("k", None, "v")),
    ("CompareExchangeAndGet", ()), ("Increment", ("k",)), ("Increment", ()),
    ("CompareExchangeMulti", ([], [])), ("Rekey", ("a", "b")), ("Rekey", ()),
    ("PopFirst", ()), ("PopFirstStr", (1, 2)), ("PushLast", ("v",)),
    ("Process", ("k", lambda k, v: None, True)), ("ProcessMulti", ()),
    ("ProcessEach", (lambda k, v: None, False)),
]


@pytest.mark.parametrize("name,args", CLOSED_CALLS)
def test_closed_handle_is_rejected_before_the_argument_count(name, args):
    db = morvel.DBM()
    with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
        getattr(db, name)(*args)
    assert db.Open("", True).IsOK()
    assert db.Close().IsOK()
    with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
        getattr(db, name)(*args)


ARG_COUNT_CASES = [
    ("Get", (), "too few"), ("Get", ("k", None, 1), "too many"),
    ("GetStr", (), "too few"), ("Set", ("k",), "too few"),
    ("Set", ("k", "v", True, 1), "too many"), ("Remove", (), "too few"),
    ("Remove", ("a", "b"), "too many"), ("Append", ("k",), "too few"),
    ("Append", ("k", "v", ",", 1), "too many"), ("Increment", (), "too few"),
    ("Increment", ("k", 1, 0, None, 5), "too many"), ("Rekey", ("a",), "too few"),
    ("Rekey", ("a", "b", True, False, 1), "too many"),
    ("PopFirst", (None, None), "too many"), ("PopFirstStr", (None, None), "too many"),
    ("PushLast", (), "too few"), ("PushLast", ("v", 1.0, 2), "too many"),
]


@pytest.mark.parametrize("name,args,word", ARG_COUNT_CASES)
def test_argument_counts(anydb, name, args, word):
    with pytest.raises(TypeError, match=f"^invalid arguments: {word} arguments$"):
        getattr(anydb, name)(*args)
    assert anydb.Count() == 0


def test_get_and_status_receiver(anydb):
    assert anydb.Get("missing") is None
    st = Status()
    assert anydb.Get("missing", st) is None
    assert st == Status.NOT_FOUND_ERROR
    assert anydb.Set("k", "v").IsOK()
    assert anydb.Get("k", None) == b"v"
    assert anydb.GetStr("k", st) == "v"
    assert st == Status.SUCCESS
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        anydb.Get("k", 1)
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        anydb.GetStr("k", "status")


def test_status_receiver_may_be_a_subclass(anydb):
    class MyStatus(Status):
        pass

    st = MyStatus()
    assert anydb.Get("missing", st) is None
    assert st.GetCode() == Status.NOT_FOUND_ERROR


# (key given, value given, key bytes stored, value bytes stored)
CONVERSIONS = [
    ("k", "v", b"k", b"v"),
    (1, 2, b"1", b"2"),
    ("k", None, b"k", b""),
    (None, "empty key", b"", b"empty key"),
    (bytearray(b"ab"), bytearray(b"\x00\xff"), b"ab", b"\x00\xff"),
    ("\u00e9", "\u65e5\u672c", b"\xc3\xa9", "\u65e5\u672c".encode()),
    (b"\x00k\x00", b"\x00\x01\x02", b"\x00k\x00", b"\x00\x01\x02"),
    (1.5, True, b"1.5", b"True"),
    ("\ud800", "lone surrogate", b"\xed\xa0\x80", b"lone surrogate"),
]


@pytest.mark.parametrize("key,value,key_bytes,value_bytes", CONVERSIONS)
def test_set_converts_keys_and_values(anydb, key, value, key_bytes, value_bytes):
    assert anydb.Set(key, value).IsOK()
    assert anydb.Get(key_bytes) == value_bytes
    assert anydb.Count() == 1


def test_get_str_replaces_invalid_utf8(anydb):
    anydb.Set(b"k", b"a\xffb")
    assert anydb.GetStr("k") == "a\ufffdb"
    assert anydb.Get("k") == b"a\xffb"


def test_set_without_overwrite_keeps_the_old_value(anydb):
    assert anydb.Set("k", "v").IsOK()
    st = anydb.Set("k", "w", False)
    assert st == Status.DUPLICATION_ERROR
    assert anydb.Get("k") == b"v"
    assert anydb.Set("k", "w", 1).IsOK()
    assert anydb.Get("k") == b"w"
    assert anydb.Set("new", "x", False).IsOK()


def test_a_raising_flag_raises_and_writes_nothing(anydb):
    with pytest.raises(ZeroDivisionError):
        anydb.Set("k", "v", RaisingBool())
    with pytest.raises(ZeroDivisionError):
        anydb.Rekey("a", "b", RaisingBool())
    with pytest.raises(ZeroDivisionError):
        anydb.SetMulti(RaisingBool(), k="v")
    assert anydb.Count() == 0


def test_remove(anydb):
    anydb.Set("k", "v")
    assert anydb.Remove("k").IsOK()
    assert anydb.Get("k") is None
    assert anydb.Remove("k") == Status.NOT_FOUND_ERROR


@pytest.mark.parametrize("args,key,expected", [
    (("k", "b", ","), "k", b"a,b"),
    (("k", "b"), "k", b"ab"),
    (("k", "b", None), "k", b"ab"),
    (("k", b"b", b"\x00"), "k", b"a\x00b"),
    (("k", "", ","), "k", b"a,"),
    (("missing", "x", ","), "missing", b"x"),
])
def test_append(anydb, args, key, expected):
    anydb.Set("k", "a")
    assert anydb.Append(*args).IsOK()
    assert anydb.Get(key) == expected


def test_increment_counts_in_eight_byte_big_endian(anydb):
    assert [anydb.Increment("c") for _ in range(3)] == [1, 2, 3]
    assert anydb.Get("c") == b"\x00\x00\x00\x00\x00\x00\x00\x03"
    assert anydb.Increment("c", -5) == -2
    assert anydb.Get("c") == to_be64(-2)


@pytest.mark.parametrize("args,result", [
    (("c", 5, 100), 105),
    (("c", "10"), 10),
    (("c", 2.9), 2),
    (("c", None, 7), 7),
    (("c", INT64MAX, 1), INT64MIN),
])
def test_increment_of_a_missing_record(anydb, args, result):
    assert anydb.Increment(*args) == result
    assert be64(anydb.Get("c")) == result


def test_increment_by_int64min_only_reads(anydb):
    assert anydb.Increment("c", INT64MIN, 7) == 7
    assert anydb.Get("c") is None
    anydb.Increment("c", 41)
    assert anydb.Increment("c", INT64MIN) == 41
    assert be64(anydb.Get("c")) == 41


def test_increment_receiver_and_errors(anydb):
    st = Status()
    assert anydb.Increment("c", 1, 0, st) == 1
    assert st == Status.SUCCESS
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        anydb.Increment("c", 1, 0, 3)
    with pytest.raises(OverflowError):
        anydb.Increment("c", 2 ** 64)
    with pytest.raises(OverflowError):
        anydb.Increment("c", 1, -(2 ** 70))
    assert be64(anydb.Get("c")) == 1


def test_rekey(anydb):
    anydb.Set("a", "1")
    assert anydb.Rekey("a", "b").IsOK()
    assert anydb.Get("a") is None and anydb.Get("b") == b"1"
    # The copying flag keeps the old record.
    assert anydb.Rekey("b", "c", True, True).IsOK()
    assert anydb.Get("b") == b"1" and anydb.Get("c") == b"1"
    # Without overwriting, an existing new key is refused and nothing moves.
    anydb.Set("c", "3")
    assert anydb.Rekey("b", "c", 0, 1) == Status.DUPLICATION_ERROR
    assert anydb.Get("b") == b"1" and anydb.Get("c") == b"3"
    assert anydb.Rekey("missing", "x") == Status.NOT_FOUND_ERROR
    assert anydb.Get("x") is None
    # Moving a record onto its own key keeps it.
    assert anydb.Rekey("b", "b").IsOK()
    assert anydb.Rekey("b", "b", False) == Status.DUPLICATION_ERROR
    assert anydb.Get("b") == b"1"
    assert anydb.Count() == 2


def test_pop_first_of_an_empty_database(anydb):
    assert anydb.PopFirst() is None
    st = Status()
    assert anydb.PopFirstStr(st) is None
    assert st != Status.SUCCESS
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        anydb.PopFirst(0)


def test_pop_first_removes_what_it_returns(anydb):
    records = {b"a": b"1", b"b": b"2", b"c": b"\xff"}
    for key, value in records.items():
        anydb.Set(key, value)
    popped = {}
    st = Status()
    while (record := anydb.PopFirst(st)) is not None:
        assert st == Status.SUCCESS
        popped[record[0]] = record[1]
    assert popped == records
    assert anydb.Count() == 0
    anydb.Set("k", b"\xff")
    assert anydb.PopFirstStr() == ("k", "\ufffd")


def test_pop_first_follows_key_order(babydb):
    for key in ["c", "a", "b"]:
        babydb.Set(key, key.upper())
    assert babydb.PopFirst() == (b"a", b"A")
    assert babydb.PopFirstStr() == ("b", "B")
    assert babydb.PopFirst() == (b"c", b"C")
    assert babydb.PopFirst() is None


def test_push_last_keys(anydb):
    base = int(1.5 * 100000000)
    assert anydb.PushLast("v", 1.5).IsOK()
    assert anydb.PushLast("w", 1.5).IsOK()
    assert anydb.Get(to_be64(base)) == b"v"
    assert anydb.Get(to_be64(base + 1)) == b"w"
    assert anydb.PushLast("z", None).IsOK()
    assert anydb.Get(to_be64(0)) == b"z"
    assert anydb.PushLast("z2", None).IsOK()
    assert anydb.Get(to_be64(1)) == b"z2"


def test_push_last_uses_the_current_time(anydb):
    before = time.time()
    assert anydb.PushLast("now").IsOK()
    after = time.time()
    key, value = anydb.PopFirst()
    assert value == b"now"
    # The key is the wall time in units of 10 ns; allow a second of clock skew.
    assert int((before - 1) * 100000000) <= be64(key) <= int((after + 1) * 100000000)


def test_pushes_at_one_time_get_consecutive_keys(babydb):
    # Today's key numbers are too large for a double to tell n from n + 1.
    now = time.time()
    for value in ["a", "b", "c"]:
        assert babydb.PushLast(value, now).IsOK()
    keys = [be64(babydb.PopFirst()[0]) for _ in range(3)]
    assert keys == [keys[0], keys[0] + 1, keys[0] + 2]


def test_push_past_the_last_key_fails_instead_of_looping(anydb):
    assert anydb.PushLast("first", 1e12).IsOK()
    assert anydb.Get(to_be64(INT64MAX)) == b"first"
    assert anydb.PushLast("second", 1e12) == Status.DUPLICATION_ERROR
    assert anydb.PushLast("third", float("inf")) == Status.DUPLICATION_ERROR
    assert anydb.Count() == 1


def test_pushed_records_pop_in_push_order(babydb):
    for i in range(20):
        assert babydb.PushLast(str(i), 1000.0).IsOK()
    assert [babydb.PopFirstStr()[1] for _ in range(20)] == [str(i) for i in range(20)]


class Closer:
    """An argument whose conversion to text closes the database."""

    def __init__(self, db):
        self.db = db

    def __str__(self):
        self.db.Close()
        return "k"


# Calls whose arguments close the database while they are converted; each
# returns whether the call failed by its own convention.
CLOSING_CALLS = {
    "Set": lambda db: db.Set(Closer(db), "v") == Status.PRECONDITION_ERROR,
    "Get": lambda db: db.Get(Closer(db)) is None,
    "GetMulti": lambda db: db.GetMulti("k", Closer(db)) == {},
    "SetMulti": lambda db: db.SetMulti(k=Closer(db)) == Status.PRECONDITION_ERROR,
    "SetAndGet": lambda db: db.SetAndGet("k", Closer(db))[0] == Status.PRECONDITION_ERROR,
    "Increment": lambda db: db.Increment(Closer(db)) is None,
    "CompareExchange": lambda db: db.CompareExchange("k", Closer(db), "v") != Status.SUCCESS,
    "CompareExchangeMulti": lambda db: db.CompareExchangeMulti(
        [(Closer(db), None)], [("k", "v")]) == Status.PRECONDITION_ERROR,
    "Process": lambda db: db.Process(Closer(db), lambda k, v: "x", True) != Status.SUCCESS,
    "ProcessMulti": lambda db: db.ProcessMulti(
        [(Closer(db), lambda k, v: "x")], True) == Status.PRECONDITION_ERROR,
}


@pytest.mark.parametrize("name", sorted(CLOSING_CALLS))
def test_closing_while_arguments_convert_fails_cleanly(anydb, name):
    anydb.Set("k", "old")
    assert CLOSING_CALLS[name](anydb)
    assert not anydb.IsOpen()
