"""Compare-exchange and old-value methods of DBM: CompareExchange,
CompareExchangeAndGet, SetAndGet and RemoveAndGet."""

import pytest

import morvel

Status = morvel.Status
ANY = morvel.DBM.ANY_DATA
# Equal bytes in a distinct object (bytes(ANY) and ANY[:] would be ANY itself).
ANY_COPY = bytes(bytearray(ANY))
MISSING = object()


def test_any_data_is_one_seven_byte_object():
    assert morvel.DBM.ANY_DATA is morvel.DBM.ANY_DATA
    assert ANY == b"\x00[ANY]\x00"


# (stored value or MISSING, expected, desired, status code, value after or MISSING)
CMX_CASES = [
    (MISSING, None, "v", Status.SUCCESS, b"v"),
    ("old", None, "v", Status.INFEASIBLE_ERROR, b"old"),
    ("v", "v", None, Status.SUCCESS, MISSING),
    ("w", "v", None, Status.INFEASIBLE_ERROR, b"w"),
    ("old", ANY, "w", Status.SUCCESS, b"w"),
    (MISSING, ANY, "w", Status.INFEASIBLE_ERROR, MISSING),
    ("v", "v", ANY, Status.SUCCESS, b"v"),
    ("x", "v", ANY, Status.INFEASIBLE_ERROR, b"x"),
    (MISSING, None, ANY, Status.SUCCESS, MISSING),
    (MISSING, None, None, Status.SUCCESS, MISSING),
    (MISSING, "", "v", Status.INFEASIBLE_ERROR, MISSING),
    ("", "", "v", Status.SUCCESS, b"v"),
    ("", None, "v", Status.INFEASIBLE_ERROR, b""),
    # Equal means equal length and bytes, NUL bytes included.
    ("ab", "ab\x00", "v", Status.INFEASIBLE_ERROR, b"ab"),
    ("a\x00b", b"a\x00b", bytearray(b"\xff"), Status.SUCCESS, b"\xff"),
    ("12", 12, 13, Status.SUCCESS, b"13"),
    # A copy of ANY_DATA is ordinary data, compared and stored literally.
    ("old", ANY_COPY, "w", Status.INFEASIBLE_ERROR, b"old"),
    (ANY_COPY, ANY_COPY, "w", Status.SUCCESS, b"w"),
    ("old", ANY, ANY_COPY, Status.SUCCESS, ANY_COPY),
]


def stored(db):
    value = db.Get("k")
    return MISSING if value is None else value


@pytest.mark.parametrize("before,expected,desired,code,after", CMX_CASES)
def test_compare_exchange(anydb, before, expected, desired, code, after):
    if before is not MISSING:
        anydb.Set("k", before)
    st = anydb.CompareExchange("k", expected, desired)
    assert st.GetCode() == code
    assert stored(anydb) == after


@pytest.mark.parametrize("before,expected,desired,code,after", CMX_CASES)
def test_compare_exchange_and_get_returns_the_value_before(anydb, before, expected,
                                                           desired, code, after):
    if before is not MISSING:
        anydb.Set("k", before)
    st, actual = anydb.CompareExchangeAndGet("k", expected, desired)
    assert st.GetCode() == code
    assert stored(anydb) == after
    if before is MISSING:
        assert actual is None
    else:
        before_bytes = before.encode() if isinstance(before, str) else before
        as_str = isinstance(expected, str) or isinstance(desired, str)
        assert actual == (before_bytes.decode() if as_str else before_bytes)


@pytest.mark.parametrize("expected,desired,result", [
    ("wrong", "v", "x"),
    (b"wrong", "v", "x"),
    ("wrong", b"v", "x"),
    (b"wrong", b"v", b"x"),
    (ANY, ANY, b"x"),
    (None, bytearray(b"v"), b"x"),
])
def test_compare_exchange_and_get_result_type(anydb, expected, desired, result):
    anydb.Set("k", "x")
    st, actual = anydb.CompareExchangeAndGet("k", expected, desired)
    assert type(actual) is type(result) and actual == result
    assert anydb.Get("k") == b"x"


def test_compare_exchange_argument_counts(anydb):
    for name in ["CompareExchange", "CompareExchangeAndGet"]:
        with pytest.raises(TypeError, match="^invalid arguments: too few arguments$"):
            getattr(anydb, name)("k", "v")
        with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
            getattr(anydb, name)("k", "v", "w", "x")
    with pytest.raises(TypeError, match="^invalid arguments: too few arguments$"):
        anydb.SetAndGet("k")
    with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
        anydb.SetAndGet("k", "v", True, 1)
    with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
        anydb.RemoveAndGet("k", "v")
    assert anydb.Count() == 0


def test_set_and_get(anydb):
    st, old = anydb.SetAndGet("k", "x")
    assert st == Status.SUCCESS and old is None
    assert anydb.Get("k") == b"x"
    st, old = anydb.SetAndGet(b"k", "y")
    assert st == Status.SUCCESS and old == "x"
    st, old = anydb.SetAndGet("k", b"z")
    assert st == Status.SUCCESS and old == b"y"
    st, old = anydb.SetAndGet("k", "w", False)
    assert st == Status.DUPLICATION_ERROR and old == "z"
    assert anydb.Get("k") == b"z"
    st, old = anydb.SetAndGet("new", bytearray(b"\xff"), False)
    assert st == Status.SUCCESS and old is None
    assert anydb.Get("new") == b"\xff"


def test_set_and_get_old_value_of_invalid_utf8(anydb):
    anydb.Set("k", b"\xff\x00")
    st, old = anydb.SetAndGet("k", "t")
    assert old == "\ufffd\x00"


def test_remove_and_get(anydb):
    anydb.Set("k", "old")
    st, old = anydb.RemoveAndGet(b"k")
    assert st == Status.SUCCESS and old == b"old"
    assert anydb.Get("k") is None
    anydb.Set("k", "old")
    st, old = anydb.RemoveAndGet("k")
    assert st == Status.SUCCESS and old == "old"
    st, old = anydb.RemoveAndGet("k")
    assert st == Status.NOT_FOUND_ERROR and old is None
