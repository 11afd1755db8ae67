"""The mapping forms of DBM: len, in, [], []=, del and iteration."""

import pytest

import morvel

Status = morvel.Status
StatusException = morvel.StatusException


def test_len_counts_records(anydb):
    assert len(anydb) == 0
    for key in ("a", "b", "c"):
        anydb[key] = "v"
    assert len(anydb) == 3
    anydb["a"] = "again"
    assert len(anydb) == 3
    del anydb["b"]
    assert len(anydb) == 2


def test_len_of_a_closed_handle_is_zero(anydb):
    anydb["a"] = "1"
    anydb.Close()
    assert len(anydb) == 0
    assert len(morvel.DBM()) == 0


def test_contains(anydb):
    anydb["k"] = "v"
    assert "k" in anydb and b"k" in anydb and bytearray(b"k") in anydb
    assert "x" not in anydb
    anydb["1"] = "one"
    assert 1 in anydb
    del anydb["k"]
    assert "k" not in anydb
    anydb[None] = "empty key"
    assert "" in anydb


def test_the_result_type_follows_the_key_type(anydb):
    anydb["k"] = "v\u00e9"
    assert anydb["k"] == "v\u00e9"
    assert anydb[b"k"] == "v\u00e9".encode()
    assert type(anydb[bytearray(b"k")]) is bytes

    class Key(str):
        pass
    assert anydb[Key("k")] == "v\u00e9"


def test_text_results_replace_bad_utf8(anydb):
    anydb[b"k"] = b"a\xffb"
    assert anydb["k"] == "a\ufffdb"
    assert anydb[b"k"] == b"a\xffb"


def test_missing_keys_raise_status_exception_not_key_error(anydb):
    for form in (lambda: anydb["missing"], lambda: anydb.__delitem__("missing")):
        with pytest.raises(StatusException) as info:
            form()
        assert info.value.GetStatus() == Status.NOT_FOUND_ERROR
        assert not isinstance(info.value, KeyError)


def test_assignment_overwrites_and_converts(anydb):
    anydb["k"] = "a"
    anydb["k"] = "b"
    assert anydb["k"] == "b"
    anydb["k"] = None
    assert anydb[b"k"] == b""
    anydb[1] = 2.5
    assert anydb[b"1"] == b"2.5"
    anydb[b"\x00bin"] = bytearray(b"\xff\x00")
    assert anydb[b"\x00bin"] == b"\xff\x00"


def test_iteration_yields_byte_pairs(anydb):
    assert list(anydb) == []
    records = {f"key{i}".encode(): f"value{i}".encode() for i in range(20)}
    for key, value in records.items():
        anydb[key] = value
    pairs = list(anydb)
    assert all(type(k) is bytes and type(v) is bytes for k, v in pairs)
    assert dict(pairs) == records
    assert len(pairs) == len(records)
    if anydb.IsOrdered():
        assert pairs == sorted(records.items())


def test_ordered_iteration(babydb):
    babydb["b"] = "2"
    babydb["a"] = "1"
    assert list(babydb) == [(b"a", b"1"), (b"b", b"2")]
    for x in babydb:
        assert isinstance(x, tuple)


def test_iter_gives_a_fresh_positioned_iterator(anydb):
    anydb["a"] = "1"
    it = iter(anydb)
    assert isinstance(it, morvel.Iterator)
    assert it.Get() == (b"a", b"1")
    assert next(it) == (b"a", b"1")
    with pytest.raises(StopIteration):
        next(it)
    assert next(iter(anydb)) == (b"a", b"1")


CLOSED_FORMS = [
    lambda db: db["k"],
    lambda db: db.__setitem__("k", "v"),
    lambda db: db.__delitem__("k"),
    lambda db: "k" in db,
    lambda db: iter(db),
]


@pytest.mark.parametrize("form", CLOSED_FORMS)
def test_forms_of_a_closed_handle_raise_type_error(form):
    for db in (morvel.DBM(),):
        with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
            form(db)


def test_writes_to_a_read_only_database_raise(tmp_path):
    path = str(tmp_path / "db.mvmb")
    db = morvel.DBM()
    assert db.Open(path, True).IsOK()
    db["k"] = "v"
    db.Close()
    assert db.Open(path, False).IsOK()
    with pytest.raises(StatusException) as info:
        db["k"] = "w"
    assert info.value.GetStatus() != Status.SUCCESS
    with pytest.raises(StatusException):
        del db["k"]
    assert db["k"] == "v"
    db.Close()


BUSY_FORMS = [
    ("getitem", lambda db: db["k"]),
    ("setitem", lambda db: db.__setitem__("k", "w")),
    ("delitem", lambda db: db.__delitem__("k")),
    ("contains", lambda db: "k" in db),
    ("iter", lambda db: iter(db)),
    ("len", lambda db: len(db)),
]


@pytest.mark.parametrize("name, form", BUSY_FORMS)
def test_forms_inside_a_callback_raise_the_busy_status(anydb, name, form):
    anydb["k"] = "v"
    caught = []

    def callback(key, value):
        with pytest.raises(StatusException) as info:
            form(anydb)
        caught.append(info.value.GetStatus())
        return None

    assert anydb.Process("k", callback, True).IsOK()
    (status,) = caught
    assert status == Status.PRECONDITION_ERROR
    assert status.GetMessage() == "the database is busy in a callback"
    assert anydb["k"] == "v" and len(anydb) == 1
