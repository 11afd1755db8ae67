"""Whole-database methods of DBM: counts and queries, Clear, Rebuild,
Synchronize, CopyFileData, Export, the flat-record and key-line transfers with a
File, Inspect, Search and RestoreDatabase."""

import os
import threading

import pytest

import morvel
from closing_argument import Closer

Status = morvel.Status

# A file database, the two memory databases kept in files, and a sharded file
# database: the file name and the open parameters of each.
KINDS = {
    "hash": ("db.mvh", {}),
    "tiny": ("db.mvmt", {}),
    "baby": ("db.mvmb", {}),
    "shard": ("db.mvh", {"num_shards": 2}),
}
PLAIN_KINDS = ["hash", "tiny", "baby"]
CLASS_NAMES = {"hash": "HashDBM", "tiny": "TinyDBM", "baby": "BabyDBM", "shard": "ShardDBM"}

# Binary keys and values, NUL bytes and empty strings included.
RECORDS = {
    b"k\x00ey": b"v\x00al\x00",
    b"": b"the empty key",
    b"empty value": b"",
    b"\xff\xfe\x00": b"\x00" * 3,
    "\u65e5\u672c".encode(): b"x" * 5000,
    b"plain": b"text",
}


def open_db(path, writable=True, **params):
    db = morvel.DBM()
    status = db.Open(path, writable, **params)
    assert status.IsOK(), str(status)
    return db


def file_name(kind):
    return KINDS[kind][0]


def open_params(kind):
    return KINDS[kind][1]


def bucket_params(kind, num_buckets):
    """A bucket count for the kinds that are hash tables; the tree knows none."""
    return {} if kind == "baby" else {"num_buckets": num_buckets}


def reopen_params(kind):
    """Parameters that open an existing database of |kind| again."""
    return {"num_shards": 0} if "num_shards" in open_params(kind) else {}


def fill(db, records):
    for key, value in records.items():
        assert db.Set(key, value).IsOK()


def assert_holds_exactly(db, records):
    assert db.Count() == len(records)
    for key, value in records.items():
        assert db.Get(key) == value, key


@pytest.fixture(params=list(KINDS))
def kind(request):
    return request.param


@pytest.fixture
def db_path(tmp_path, kind):
    return str(tmp_path / file_name(kind))


@pytest.fixture
def db(db_path, kind):
    handle = open_db(db_path, **bucket_params(kind, 1000), **open_params(kind))
    yield handle
    if handle.IsOpen():
        handle.Close()


@pytest.fixture
def flat_file(tmp_path):
    f = morvel.File()
    assert f.Open(str(tmp_path / "records.flat"), True).IsOK()
    yield f
    if "unopened" not in str(f):
        f.Close()


# Every instance method, with valid arguments and with wrong ones: the closed
# handle is reported first.
CLOSED_CALLS = [
    ("Count", ()), ("GetFileSize", ()), ("GetFilePath", ()), ("GetTimestamp", ()),
    ("Clear", ()), ("Rebuild", ()), ("Rebuild", (1,)), ("ShouldBeRebuilt", ()),
    ("Synchronize", (True,)), ("Synchronize", ()), ("CopyFileData", ("x",)),
    ("CopyFileData", ()), ("Export", (morvel.DBM(),)), ("Export", ("x", "y")),
    ("ExportToFlatRecords", (morvel.File(),)), ("ExportToFlatRecords", ()),
    ("ImportFromFlatRecords", ("x",)), ("ExportKeysAsLines", (1, 2)),
    ("Inspect", ()), ("Search", ("contain", "a")), ("Search", ()),
]


@pytest.mark.parametrize("name,args", CLOSED_CALLS)
def test_closed_handle_is_rejected_before_the_arguments(name, args, tmp_path):
    db = morvel.DBM()
    with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
        getattr(db, name)(*args)
    db = open_db(str(tmp_path / "db.mvmt"))
    assert db.Close().IsOK()
    with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
        getattr(db, name)(*args)


ARG_COUNT_CASES = [
    ("Rebuild", (1,), "too many"), ("Synchronize", (), "too few"),
    ("Synchronize", (False, 1), "too many"), ("CopyFileData", (), "too few"),
    ("CopyFileData", ("a", True, 1), "too many"), ("Export", (), "too few"),
    ("ExportToFlatRecords", (), "too few"), ("ImportFromFlatRecords", (1, 2), "too many"),
    ("ExportKeysAsLines", (), "too few"), ("Search", ("contain",), "too few"),
    ("Search", ("contain", "a", 1, 2), "too many"),
]


@pytest.mark.parametrize("name,args,word", ARG_COUNT_CASES)
def test_argument_counts(db, name, args, word):
    db.Set("k", "v")
    with pytest.raises(TypeError, match=f"^invalid arguments: {word} arguments$"):
        getattr(db, name)(*args)
    assert db.Get("k") == b"v"


@pytest.mark.parametrize("name", ["ExportToFlatRecords", "ImportFromFlatRecords",
                                  "ExportKeysAsLines"])
def test_transfers_need_an_open_file(db, name):
    other = morvel.DBM()
    with pytest.raises(TypeError, match="^invalid arguments: the argument is not a File$"):
        getattr(db, name)(other)
    with pytest.raises(TypeError, match="^invalid arguments: the argument is not a File$"):
        getattr(db, name)("records.flat")
    with pytest.raises(TypeError, match="^invalid arguments: not opened file$"):
        getattr(db, name)(morvel.File())


def test_export_needs_an_open_dbm(db):
    with pytest.raises(TypeError, match="^invalid arguments: the argument is not a DBM$"):
        db.Export("x")
    with pytest.raises(TypeError, match="^invalid arguments: the argument is not a DBM$"):
        db.Export(morvel.File())
    with pytest.raises(TypeError, match="^invalid arguments: not opened database$"):
        db.Export(morvel.DBM())


def test_queries(db, db_path, kind):
    assert db.Count() == 0
    fill(db, RECORDS)
    assert db.Count() == len(RECORDS)
    assert db.GetFilePath() == db_path
    assert db.Synchronize(False).IsOK()
    size = db.GetFileSize()
    assert isinstance(size, int) and size > 0
    timestamp = db.GetTimestamp()
    assert isinstance(timestamp, float) and timestamp >= 0.0
    assert isinstance(db.ShouldBeRebuilt(), bool)
    info = db.Inspect()
    assert all(isinstance(k, str) and isinstance(v, str) for k, v in info.items())
    assert info["class"] == CLASS_NAMES[kind]
    assert info["path"] == db_path
    assert info["num_records"] == str(len(RECORDS))
    assert info["healthy"] in ("true", "1", "True")


def test_queries_without_a_file_give_none(tmp_path):
    # A database kept only in memory has no file: the file queries fail in the
    # engine and answer None, the others still answer.
    db = open_db("")
    db.Set("a", "1")
    assert db.Count() == 1
    assert db.GetFilePath() is None
    assert db.GetFileSize() is None
    assert db.GetTimestamp() is None
    assert db.Inspect()["class"] == "TinyDBM"
    assert isinstance(db.ShouldBeRebuilt(), bool)
    assert not db.CopyFileData(str(tmp_path / "copy")).IsOK()
    assert not os.path.exists(tmp_path / "copy")
    assert db.Close().IsOK()


def test_clear_rebuild_and_synchronize(db, db_path, kind):
    fill(db, RECORDS)
    assert db.Rebuild().IsOK()
    assert_holds_exactly(db, RECORDS)
    assert db.Rebuild(**bucket_params(kind, 50)).IsOK()
    assert_holds_exactly(db, RECORDS)
    assert db.Synchronize(True).IsOK()
    # Regression: unknown names and bad values were ignored with SUCCESS.
    assert db.Synchronize(0, unknown_param="x") == Status.INVALID_ARGUMENT_ERROR
    assert db.Rebuild(num_bucket=50) == Status.INVALID_ARGUMENT_ERROR
    assert_holds_exactly(db, RECORDS)
    assert db.Clear().IsOK()
    assert db.Count() == 0
    assert db.Get(b"plain") is None
    db.Set("after", "clear")
    assert db.Close().IsOK()
    db = open_db(db_path, **reopen_params(kind))
    assert_holds_exactly(db, {b"after": b"clear"})
    db.Close()


def test_a_reader_cannot_clear(db, db_path, kind):
    fill(db, RECORDS)
    assert db.Close().IsOK()
    reader = open_db(db_path, False, **reopen_params(kind))
    assert not reader.Clear().IsOK()
    assert not reader.Rebuild().IsOK()
    assert_holds_exactly(reader, RECORDS)
    reader.Close()


def test_a_raising_flag_raises_before_the_engine_call(db):
    class Raising:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    with pytest.raises(ZeroDivisionError):
        db.Synchronize(Raising())
    with pytest.raises(ZeroDivisionError):
        db.CopyFileData("copy", Raising())


@pytest.mark.parametrize("src_kind", list(KINDS))
@pytest.mark.parametrize("dst_kind", list(KINDS) + ["memory"])
def test_flat_records_carry_binary_records_between_classes(tmp_path, flat_file, src_kind,
                                                           dst_kind):
    src = open_db(str(tmp_path / ("src-" + file_name(src_kind))),
                  **bucket_params(src_kind, 1000), **open_params(src_kind))
    fill(src, RECORDS)
    assert src.ExportToFlatRecords(flat_file) == Status.SUCCESS
    if dst_kind == "memory":
        dst = open_db("")
    else:
        dst = open_db(str(tmp_path / ("dst-" + file_name(dst_kind))),
                      **bucket_params(dst_kind, 1000), **open_params(dst_kind))
    dst.Set(b"plain", b"overwritten by the import")
    dst.Set(b"kept", b"already there")
    assert dst.ImportFromFlatRecords(flat_file) == Status.SUCCESS
    assert_holds_exactly(dst, {**RECORDS, b"kept": b"already there"})
    assert_holds_exactly(src, RECORDS)
    src.Close()
    dst.Close()


@pytest.mark.parametrize("name", ["ExportToFlatRecords", "ExportKeysAsLines"])
def test_export_to_a_read_only_file_reports_the_failure(db, tmp_path, name):
    fill(db, RECORDS)
    path = str(tmp_path / "read-only")
    with open(path, "wb") as raw:
        raw.write(b"before")
    f = morvel.File()
    assert f.Open(path, False).IsOK()
    assert not getattr(db, name)(f).IsOK()
    assert f.GetSize() == 6
    assert f.Close().IsOK()


def test_import_of_a_damaged_file_keeps_what_came_before(tmp_path, flat_file):
    first = open_db("")
    first.Set(b"first", b"1")
    assert first.ExportToFlatRecords(flat_file).IsOK()
    whole_size = flat_file.GetSize()
    second = open_db("")
    second.Set(b"second", b"2" * 100)
    assert second.ExportToFlatRecords(flat_file).IsOK()
    assert flat_file.GetSize() > whole_size
    # Cut the second record short: the first one still comes through.
    assert flat_file.Truncate(flat_file.GetSize() - 1).IsOK()
    dst = open_db("")
    assert dst.ImportFromFlatRecords(flat_file) == Status.BROKEN_DATA_ERROR
    assert_holds_exactly(dst, {b"first": b"1"})


# Hostile files: the bytes after one whole record, written by an export.
DAMAGED_TAILS = [
    b"\xff\xff\xff\xffgarbage",
    # A value frame that claims 2**62 bytes.
    b"\xff\x01k\xff" + b"\x80" * 8 + b"\x40abc",
    # A length that never ends.
    b"\xff" + b"\x80" * 12,
    # A key with no value.
    b"\xff\x03key",
]


@pytest.mark.parametrize("tail", DAMAGED_TAILS)
def test_import_of_hostile_frames_stops_cleanly(flat_file, tail):
    src = open_db("")
    src.Set(b"whole", b"record")
    assert src.ExportToFlatRecords(flat_file).IsOK()
    flat_file.Append(tail)
    dst = open_db("")
    dst.Set("k", "v")
    assert dst.ImportFromFlatRecords(flat_file) == Status.BROKEN_DATA_ERROR
    assert_holds_exactly(dst, {b"k": b"v", b"whole": b"record"})


def test_import_into_a_reader_fails(db, db_path, kind, flat_file):
    fill(db, RECORDS)
    db.Close()
    source = open_db("")
    source.Set(b"new", b"record")
    assert source.ExportToFlatRecords(flat_file).IsOK()
    reader = open_db(db_path, False, **reopen_params(kind))
    assert not reader.ImportFromFlatRecords(flat_file).IsOK()
    assert_holds_exactly(reader, RECORDS)
    reader.Close()


def test_export_keys_as_lines_then_search_the_file(db, tmp_path):
    keys = ["apple", "pineapple", "banana", "grape"]
    for key in keys:
        db.Set(key, "fruit " + key)
    lines = morvel.File()
    assert lines.Open(str(tmp_path / "keys.txt"), True).IsOK()
    assert db.ExportKeysAsLines(lines) == Status.SUCCESS
    text = lines.ReadStr(0, lines.GetSize())
    assert sorted(text.split("\n")) == sorted(keys + [""])
    assert text.endswith("\n")
    assert sorted(lines.Search("contain", "apple")) == ["apple", "pineapple"]
    assert lines.Search("begin", "ban") == ["banana"]
    assert lines.Close().IsOK()


SEARCH_KEYS = ["apple", "Apple pie", "banana", "pineapple", "grape", "grapefruit", "kiwi",
               "\u65e5\u7c73", "\u65e5\u672cxx"]

# (mode, pattern, capacity, expected keys); the edit modes are best first, the
# others are compared in any order.
SEARCH_CASES = [
    ("contain", "apple", 0, ["apple", "pineapple"]),
    ("containcase", "APPLE", 0, ["apple", "Apple pie", "pineapple"]),
    ("containword", "apple", 0, ["apple"]),
    ("containword", "pie", 0, ["Apple pie"]),
    ("begin", "grape", 0, ["grape", "grapefruit"]),
    ("end", "apple", 0, ["apple", "pineapple"]),
    ("regex", "^[a-z]+e$", 0, ["apple", "pineapple", "grape"]),
    ("regex", "an(an)+", 0, ["banana"]),
    ("contain", "zzz", 0, []),
    ("edit", "grap", 1, ["grape"]),
    ("editbin", "kiwis", 1, ["kiwi"]),
    ("edit", "\u65e5\u672c", 1, ["\u65e5\u7c73"]),
    ("editbin", "\u65e5\u672c", 1, ["\u65e5\u672cxx"]),
]


@pytest.fixture
def search_db(db):
    for key in SEARCH_KEYS:
        db.Set(key, "")
    return db


@pytest.mark.parametrize("mode,pattern,capacity,expected", SEARCH_CASES)
def test_search_modes(search_db, mode, pattern, capacity, expected):
    found = search_db.Search(mode, pattern, capacity)
    assert all(isinstance(key, str) for key in found)
    if mode.startswith("edit"):
        assert found == expected
    else:
        assert sorted(found) == sorted(expected)


ORDERED_CASES = [
    ("upper", "banana", ["grape", "grapefruit", "kiwi", "pineapple"]),
    ("upperinc", "banana", ["banana", "grape", "grapefruit", "kiwi", "pineapple"]),
    ("lower", "banana", ["Apple pie", "apple"]),
    ("lowerinc", "banana", ["Apple pie", "apple", "banana"]),
    ("upper", "kiwi", ["pineapple"]),
    ("lower", "Apple pie", []),
]


@pytest.mark.parametrize("mode,pattern,expected", ORDERED_CASES)
def test_ordered_search_modes(tmp_path, mode, pattern, expected):
    db = open_db(str(tmp_path / "ordered.mvmb"))
    for key in SEARCH_KEYS[:7]:
        db.Set(key, "")
    found = db.Search(mode, pattern)
    if mode.startswith("upper"):
        assert found == expected
    else:
        assert sorted(found) == expected
    db.Close()


def test_ordered_modes_on_an_unordered_database_raise(tmp_path):
    db = open_db(str(tmp_path / "unordered.mvmt"))
    db.Set("a", "")
    with pytest.raises(morvel.StatusException) as info:
        db.Search("upper", "a")
    assert info.value.GetStatus() == Status.INVALID_ARGUMENT_ERROR


@pytest.mark.parametrize("mode,pattern", [("nosuchmode", "a"), ("", "a"),
                                          ("regex", "(unclosed")])
def test_search_failures_raise_status_exception(search_db, mode, pattern):
    with pytest.raises(morvel.StatusException) as info:
        search_db.Search(mode, pattern)
    assert isinstance(info.value, RuntimeError)
    assert info.value.GetStatus() == Status.INVALID_ARGUMENT_ERROR


def test_search_capacity_keeps_its_low_32_bits(search_db):
    assert len(search_db.Search("contain", "", 2 ** 32 + 2)) == 2
    assert len(search_db.Search("contain", "", -1)) == len(SEARCH_KEYS)
    assert len(search_db.Search("contain", "")) == len(SEARCH_KEYS)
    with pytest.raises(OverflowError):
        search_db.Search("contain", "", 2 ** 64)


def test_search_decodes_keys_with_replacement(db):
    db.Set(b"bad\xffkey", "")
    assert db.Search("begin", "bad") == ["bad\ufffdkey"]


def test_export_to_another_database(db, tmp_path):
    fill(db, RECORDS)
    dst = open_db(str(tmp_path / "dst.mvmb"))
    dst.Set(b"plain", b"old")
    dst.Set(b"other", b"kept")
    assert db.Export(dst) == Status.SUCCESS
    assert_holds_exactly(dst, {**RECORDS, b"other": b"kept"})
    assert_holds_exactly(db, RECORDS)
    dst.Close()


def test_export_to_a_reader_reports_the_failure(db, tmp_path):
    fill(db, RECORDS)
    path = str(tmp_path / "reader.mvmt")
    open_db(path).Close()
    reader = open_db(path, False)
    assert not db.Export(reader).IsOK()
    assert reader.Count() == 0
    reader.Close()


def test_export_into_itself_changes_nothing(db):
    # Walking a database while setting into it would wait for its own locks.
    fill(db, RECORDS)
    assert db.Export(db) == Status.SUCCESS
    assert_holds_exactly(db, RECORDS)


def test_copy_file_data_gives_the_same_records(db, tmp_path, kind):
    fill(db, RECORDS)
    copy_paths = [str(tmp_path / (prefix + file_name(kind))) for prefix in ("copy-", "hard-")]
    assert db.CopyFileData(copy_paths[0]) == Status.SUCCESS
    assert db.CopyFileData(copy_paths[1], True) == Status.SUCCESS
    db.Set(b"after copy", b"not in the copy")
    for path in copy_paths:
        copy = open_db(path, False, **reopen_params(kind))
        assert copy.IsHealthy()
        assert_holds_exactly(copy, RECORDS)
        copy.Close()


@pytest.mark.parametrize("no_lock", [False, True])
def test_copy_file_data_onto_its_own_file_keeps_the_database(tmp_path, kind, no_lock):
    # Regression: a hash database waited for its own file lock for ever, or
    # truncated its own file when opened without a lock.
    path = str(tmp_path / file_name(kind))
    db = open_db(path, no_lock=no_lock, **bucket_params(kind, 100), **open_params(kind))
    fill(db, RECORDS)
    assert db.CopyFileData(path) == Status.INVALID_ARGUMENT_ERROR
    other_spelling = str(tmp_path / "." / file_name(kind))
    assert db.CopyFileData(other_spelling).GetCode() in (
        Status.SUCCESS, Status.INVALID_ARGUMENT_ERROR)
    assert_holds_exactly(db, RECORDS)
    assert db.Close().IsOK()
    reopened = open_db(path, False, **reopen_params(kind))
    assert_holds_exactly(reopened, RECORDS)
    reopened.Close()


def test_copy_file_data_to_a_bad_path_fails(db, tmp_path):
    db.Set("k", "v")
    status = db.CopyFileData(str(tmp_path / "no" / "such" / "dir" / "copy"))
    assert not status.IsOK()
    assert db.Get("k") == b"v"


def test_restore_database_of_a_plain_database(db, db_path, tmp_path, kind):
    fill(db, RECORDS)
    assert db.Close().IsOK()
    new_path = str(tmp_path / ("restored-" + file_name(kind)))
    assert morvel.DBM.RestoreDatabase(db_path, new_path) == Status.SUCCESS
    restored = open_db(new_path, False, **reopen_params(kind))
    assert restored.IsHealthy()
    assert_holds_exactly(restored, RECORDS)
    restored.Close()


def test_restore_database_with_every_argument(tmp_path):
    old_path = str(tmp_path / "old.mvh")
    db = open_db(old_path, num_buckets=100)
    fill(db, RECORDS)
    db.Close()
    new_path = str(tmp_path / "new.mvh")
    status = morvel.DBM.RestoreDatabase(old_path, new_path, "HashDBM", -1, "num_buckets=10")
    assert status == Status.SUCCESS
    restored = open_db(new_path)
    assert_holds_exactly(restored, RECORDS)
    restored.Close()
    newer_path = str(tmp_path / "newer.mvh")
    assert morvel.DBM.RestoreDatabase(old_path, newer_path, None, -1, None).IsOK()
    restored = open_db(newer_path, False)
    assert_holds_exactly(restored, RECORDS)
    restored.Close()


@pytest.mark.parametrize("kind", PLAIN_KINDS)
def test_restore_database_of_a_sharded_database(tmp_path, kind):
    ext = file_name(kind).split(".")[1]
    old_path = str(tmp_path / ("sharded." + ext))
    db = open_db(old_path, num_shards=3, **bucket_params(kind, 100))
    fill(db, RECORDS)
    assert db.Close().IsOK()
    new_path = str(tmp_path / ("restored." + ext))
    assert morvel.DBM.RestoreDatabase(old_path, new_path) == Status.SUCCESS
    for index in range(3):
        assert os.path.exists(f"{new_path}-{index:05d}-of-00003")
    assert not os.path.exists(new_path)
    restored = open_db(new_path, False, num_shards=0)
    assert_holds_exactly(restored, RECORDS)
    restored.Close()


@pytest.mark.parametrize("shards", [{}, {"num_shards": 2}])
@pytest.mark.parametrize("kind", PLAIN_KINDS)
def test_restore_database_onto_itself_keeps_the_database(tmp_path, kind, shards):
    # Regression: a restore into the old file under another spelling of its
    # path wrote an empty database over it.
    path = str(tmp_path / file_name(kind))
    db = open_db(path, **shards)
    fill(db, RECORDS)
    assert db.Close().IsOK()
    for new_path in (path, str(tmp_path / "." / file_name(kind))):
        assert morvel.DBM.RestoreDatabase(path, new_path) == Status.INVALID_ARGUMENT_ERROR
    restored = open_db(path, False, **({"num_shards": 0} if shards else {}))
    assert_holds_exactly(restored, RECORDS)
    restored.Close()


def test_restore_database_failures(tmp_path):
    status = morvel.DBM.RestoreDatabase(str(tmp_path / "missing.mvh"),
                                        str(tmp_path / "new.mvh"))
    assert not status.IsOK()
    assert not os.path.exists(tmp_path / "new.mvh")
    with pytest.raises(TypeError, match="^invalid arguments: too few arguments$"):
        morvel.DBM.RestoreDatabase("a")
    with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
        morvel.DBM.RestoreDatabase("a", "b", "", -1, "", 1)
    # A class method: an instance, even unopened, reaches it too.
    with pytest.raises(TypeError, match="^invalid arguments: too few arguments$"):
        morvel.DBM().RestoreDatabase()


def test_calls_from_inside_a_callback_are_refused(db, flat_file, tmp_path):
    fill(db, RECORDS)
    other = open_db("")
    other.Set("x", "y")
    seen = {}

    def callback(key, value):
        seen["count"] = db.Count()
        seen["size"] = db.GetFileSize()
        seen["path"] = db.GetFilePath()
        seen["timestamp"] = db.GetTimestamp()
        seen["rebuild?"] = db.ShouldBeRebuilt()
        seen["inspect"] = db.Inspect()
        seen["clear"] = db.Clear()
        seen["rebuild"] = db.Rebuild()
        seen["sync"] = db.Synchronize(False)
        seen["copy"] = db.CopyFileData(str(tmp_path / "copy"))
        seen["export"] = db.Export(other)
        seen["export in"] = other.Export(db)
        seen["flat"] = db.ExportToFlatRecords(flat_file)
        seen["import"] = db.ImportFromFlatRecords(flat_file)
        seen["lines"] = db.ExportKeysAsLines(flat_file)
        try:
            db.Search("contain", "")
        except morvel.StatusException as error:
            seen["search"] = error.GetStatus()
        return None

    assert db.Process(b"plain", callback, False).IsOK()
    for name in ("count", "size", "path", "timestamp"):
        assert seen[name] is None, name
    assert seen["rebuild?"] is False
    assert seen["inspect"] == {}
    for name in ("clear", "rebuild", "sync", "copy", "export", "export in", "flat",
                 "import", "lines", "search"):
        assert seen[name] == Status.PRECONDITION_ERROR, name
        assert "callback" in seen[name].GetMessage(), name
    assert_holds_exactly(db, RECORDS)
    assert_holds_exactly(other, {b"x": b"y"})
    assert flat_file.GetSize() == 0
    assert not os.path.exists(tmp_path / "copy")


def test_concurrent_export_while_the_file_is_closed(tmp_path):
    # An export running with the interpreter lock released keeps the engine
    # file alive; a Close from another thread makes its later writes fail
    # instead of touching freed memory.
    db = open_db(str(tmp_path / "big.mvmb"), concurrent=True)
    db.SetMulti(**{f"key{i:05d}": "v" * 50 for i in range(5000)})
    for attempt in range(5):
        f = morvel.File()
        assert f.Open(str(tmp_path / f"race{attempt}.flat"), True, concurrent=True).IsOK()
        results = []
        thread = threading.Thread(target=lambda: results.append(db.ExportToFlatRecords(f)))
        thread.start()
        assert f.Close().IsOK()
        thread.join()
        assert results[0].GetCode() in (Status.SUCCESS, Status.PRECONDITION_ERROR)
    db.Close()


# Calls whose arguments close the database while they convert; each returns
# whether the call failed by its own convention.
CLOSING_CALLS = {
    "Rebuild": lambda db, tmp: db.Rebuild(num_buckets=Closer(db, "10")) != Status.SUCCESS,
    "Synchronize": lambda db, tmp: db.Synchronize(Closer(db)) != Status.SUCCESS,
    "Synchronize params": lambda db, tmp: db.Synchronize(False, p=Closer(db)) != Status.SUCCESS,
    "CopyFileData": lambda db, tmp: (db.CopyFileData(Closer(db, str(tmp / "copy")))
                                     != Status.SUCCESS and not (tmp / "copy").exists()),
    "CopyFileData flag": lambda db, tmp: (db.CopyFileData(str(tmp / "copy"), Closer(db))
                                          != Status.SUCCESS),
}


@pytest.mark.parametrize("name", sorted(CLOSING_CALLS))
def test_closing_while_arguments_convert_fails_cleanly(db, tmp_path, name):
    db.Set("k", "v")
    assert CLOSING_CALLS[name](db, tmp_path)
    assert not db.IsOpen()


@pytest.mark.parametrize("args", [("contain", "k", "CLOSER"), ("contain", "CLOSER"),
                                  ("CLOSER", "k")])
def test_search_closing_while_arguments_convert_raises(db, args):
    db.Set("k", "v")
    args = [Closer(db, "contain" if i == 0 else "k") if arg == "CLOSER" else arg
            for i, arg in enumerate(args)]
    with pytest.raises(morvel.StatusException) as info:
        db.Search(*args)
    assert info.value.GetStatus() == Status.PRECONDITION_ERROR
    assert not db.IsOpen()
