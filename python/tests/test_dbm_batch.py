"""Batch methods of DBM: GetMulti, SetMulti, RemoveMulti, AppendMulti and
CompareExchangeMulti."""

import pytest

import morvel

Status = morvel.Status
ANY = morvel.DBM.ANY_DATA
# Equal bytes in a distinct object (bytes(ANY) and ANY[:] would be ANY itself).
ANY_COPY = bytes(bytearray(ANY))


def fill(db, records):
    for key, value in records.items():
        assert db.Set(key, value).IsOK()


def contents(db):
    return db.GetMulti(*[b"a", b"b", b"c", b"d", b"x", b"k"])


def test_get_multi(anydb):
    fill(anydb, {"a": "1", "c": "3"})
    assert anydb.GetMulti("a", "b", "c") == {b"a": b"1", b"c": b"3"}
    assert anydb.GetMultiStr("a", "c") == {"a": "1", "c": "3"}
    assert anydb.GetMulti() == {}
    assert anydb.GetMultiStr("missing") == {}
    anydb.Set("1", "one")
    assert anydb.GetMulti(1) == {b"1": b"one"}
    assert anydb.GetMulti("a", "a") == {b"a": b"1"}


def test_get_multi_str_of_invalid_utf8(anydb):
    anydb.Set(b"k\xfe", b"v\xff")
    anydb.Set(b"k\xff", b"w")
    # Both keys decode to the same text; the later one in byte order wins.
    assert anydb.GetMultiStr(b"k\xfe", b"k\xff") == {"k\ufffd": "w"}
    assert anydb.GetMulti(b"k\xfe") == {b"k\xfe": b"v\xff"}


def test_set_multi(anydb):
    st = anydb.SetMulti(a="1", b="2")
    assert st == Status.SUCCESS
    assert contents(anydb) == {b"a": b"1", b"b": b"2"}
    st = anydb.SetMulti(False, a="x", c="3")
    assert st == Status.DUPLICATION_ERROR
    assert contents(anydb) == {b"a": b"1", b"b": b"2", b"c": b"3"}
    assert anydb.SetMulti(True, a="x").IsOK()
    assert anydb.Get("a") == b"x"
    assert anydb.SetMulti(**{"k": None}).IsOK()
    assert anydb.Get("k") == b""
    assert anydb.SetMulti().IsOK()
    assert anydb.Count() == 4


def test_set_multi_and_append_multi_take_one_positional(anydb):
    for name in ["SetMulti", "AppendMulti"]:
        with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
            getattr(anydb, name)(True, False, k="v")
    assert anydb.Count() == 0


def test_remove_multi(anydb):
    fill(anydb, {"a": "1", "b": "2", "c": "3"})
    assert anydb.RemoveMulti("a", "missing", "b") == Status.NOT_FOUND_ERROR
    assert contents(anydb) == {b"c": b"3"}
    assert anydb.RemoveMulti("c").IsOK()
    assert anydb.RemoveMulti().IsOK()
    assert anydb.Count() == 0


@pytest.mark.parametrize("args,kwargs,expected", [
    ((",",), {"a": "x", "b": "y"}, {b"a": b"0,x", b"b": b"y"}),
    ((), {"a": "x"}, {b"a": b"0x"}),
    ((None,), {"a": "x"}, {b"a": b"0x"}),
    ((b"\x00",), {"a": b"\xff"}, {b"a": b"0\x00\xff"}),
    ((",",), {}, {b"a": b"0"}),
])
def test_append_multi(anydb, args, kwargs, expected):
    anydb.Set("a", "0")
    assert anydb.AppendMulti(*args, **kwargs).IsOK()
    assert contents(anydb) == expected


# (stored records, expected pairs, desired pairs, status code, records after)
CMX_CASES = [
    ({"a": "1"}, [("a", "1")], [("a", "2")], Status.SUCCESS, {b"a": b"2"}),
    ({"a": "1"}, [("a", "0")], [("a", "2")], Status.INFEASIBLE_ERROR, {b"a": b"1"}),
    ({}, [("a", None)], [("a", "new")], Status.SUCCESS, {b"a": b"new"}),
    ({"a": "1"}, [("a", None)], [("a", "new")], Status.INFEASIBLE_ERROR, {b"a": b"1"}),
    ({"a": "1"}, [("a", ANY)], [("a", None)], Status.SUCCESS, {}),
    ({}, [("a", ANY)], [("a", "x")], Status.INFEASIBLE_ERROR, {}),
    ({"a": "1"}, [("a", None)], [("a", ANY)], Status.INFEASIBLE_ERROR, {b"a": b"1"}),
    ({}, [("a", None)], [("a", ANY)], Status.SUCCESS, {}),
    # All or nothing: one failed condition keeps every record as it was.
    ({"a": "1", "b": "2"}, [("a", "1"), ("b", "3")], [("a", "x"), ("b", "y")],
     Status.INFEASIBLE_ERROR, {b"a": b"1", b"b": b"2"}),
    ({"a": "1", "b": "2"}, [("a", "1"), ("b", "2")], [("a", None), ("c", "3")],
     Status.SUCCESS, {b"b": b"2", b"c": b"3"}),
    # An empty value is not absent.
    ({}, [("a", "")], [("a", "x")], Status.INFEASIBLE_ERROR, {}),
    ({"a": ""}, [("a", "")], [("a", "x")], Status.SUCCESS, {b"a": b"x"}),
    # Keys and values convert like other arguments; extra elements are ignored.
    ({"1": "2"}, [(1, 2, "ignored")], [(1, 3.5)], Status.SUCCESS, {b"1": b"3.5"}),
    # A string of two characters is a pair; a shorter item is skipped.
    ({"x": "y"}, ["xy", ("b",), 7], [("x", "z")], Status.SUCCESS, {b"x": b"z"}),
    ({"x": "q"}, ["xy"], [("x", "z")], Status.INFEASIBLE_ERROR, {b"x": b"q"}),
    ({}, "ab", [], Status.SUCCESS, {}),
    ({"a": "1"}, [], [], Status.SUCCESS, {b"a": b"1"}),
]


@pytest.mark.parametrize("stored,expected,desired,code,after", CMX_CASES)
def test_compare_exchange_multi(anydb, stored, expected, desired, code, after):
    fill(anydb, stored)
    st = anydb.CompareExchangeMulti(expected, desired)
    assert st.GetCode() == code
    assert anydb.GetMulti("a", "b", "c", "x", "1") == after


def test_compare_exchange_multi_any_data_copy_is_literal(anydb):
    anydb.Set("a", "1")
    st = anydb.CompareExchangeMulti([("a", ANY_COPY)], [("a", "2")])
    assert st == Status.INFEASIBLE_ERROR
    anydb.Set("a", ANY_COPY)
    assert anydb.CompareExchangeMulti([("a", ANY_COPY)], [("a", "2")]).IsOK()
    assert anydb.Get("a") == b"2"


def test_compare_exchange_multi_argument_errors(anydb):
    with pytest.raises(TypeError, match="^invalid arguments: too few arguments$"):
        anydb.CompareExchangeMulti([])
    with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
        anydb.CompareExchangeMulti([], [], [])
    for args in [(5, []), ([], 5), ({"a": "1"}, [])]:
        with pytest.raises(TypeError, match="^invalid arguments: parameters must be "
                                            "sequences of strings$"):
            anydb.CompareExchangeMulti(*args)


class BrokenSequence:
    """A sequence that claims a huge length and fails part-way."""

    def __init__(self, items, length=2 ** 62):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index < len(self.items):
            return self.items[index]
        raise IndexError("gone")


class UnsizedItem:
    def __getitem__(self, index):
        return "k"


@pytest.mark.parametrize("pairs,error", [
    (BrokenSequence([("a", "1")]), IndexError),
    (BrokenSequence([], length=1), IndexError),
    ([UnsizedItem()], TypeError),
])
def test_compare_exchange_multi_unreadable_sequence_raises(anydb, pairs, error):
    anydb.Set("a", "1")
    with pytest.raises(error):
        anydb.CompareExchangeMulti([("a", "1")], pairs)
    with pytest.raises(error):
        anydb.CompareExchangeMulti(pairs, [("a", "2")])
    assert anydb.Get("a") == b"1"


def test_compare_exchange_multi_many_pairs(anydb):
    keys = [f"key{i:04d}" for i in range(500)]
    assert anydb.CompareExchangeMulti([(k, None) for k in keys],
                                      [(k, k * 3) for k in keys]).IsOK()
    assert anydb.Count() == len(keys)
    assert anydb.GetStr("key0499") == "key0499" * 3
    assert anydb.CompareExchangeMulti([(k, k * 3) for k in keys],
                                      [(k, None) for k in keys]).IsOK()
    assert anydb.Count() == 0
