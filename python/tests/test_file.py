"""The File class: opening, reading and writing at offsets, appending,
truncating, synchronizing, sizes and paths, line search, and printable forms."""

import os
import subprocess
import sys
import threading

import pytest

import morvel
from closing_argument import Closer

Status = morvel.Status

FILE_CLASSES = ["StdFile", "MemoryMapParallelFile", "MemoryMapAtomicFile",
                "PositionalParallelFile", "PositionalAtomicFile"]


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "data.txt")


@pytest.fixture
def opened(path):
    f = morvel.File()
    assert f.Open(path, True).IsOK()
    yield f
    if "unopened" not in str(f):
        f.Close()


def test_new_file_is_unopened():
    f = morvel.File()
    assert repr(f) == "<morvel.File:(unopened)>"
    assert str(f) == "(unopened)"
    with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
        morvel.File(1)


# Every method but Open, with valid arguments and with a wrong count: the closed
# handle is reported first.
CLOSED_CALLS = [
    ("Close", ()), ("Read", (0, 1)), ("Read", ()), ("ReadStr", (0, 1, None)),
    ("Write", (0, "x")), ("Write", ()), ("Append", ("x",)), ("Append", ()),
    ("Truncate", (0,)), ("Truncate", ()), ("Synchronize", (True,)),
    ("Synchronize", ()), ("GetSize", ()), ("GetPath", ()), ("Search", ("x", "y")),
    ("Search", ()),
]


@pytest.mark.parametrize("name,args", CLOSED_CALLS)
def test_unopened_file_is_rejected_before_arguments(name, args, path):
    f = morvel.File()
    with pytest.raises(TypeError, match="^invalid arguments: not opened file$"):
        getattr(f, name)(*args)
    assert f.Open(path, True).IsOK()
    assert f.Close().IsOK()
    with pytest.raises(TypeError, match="^invalid arguments: not opened file$"):
        getattr(f, name)(*args)


ARG_COUNT_CASES = [
    ("Read", (0,), "too few"), ("Read", (0, 1, None, 1), "too many"),
    ("ReadStr", (0,), "too few"), ("ReadStr", (0, 1, None, 1), "too many"),
    ("Write", (0,), "too few"), ("Write", (0, "a", "b"), "too many"),
    ("Append", (), "too few"), ("Append", ("a", None, 1), "too many"),
    ("Truncate", (), "too few"), ("Truncate", (1, 2), "too many"),
    ("Synchronize", (), "too few"), ("Synchronize", (True, 0, 0, 0), "too many"),
    ("Search", ("contain",), "too few"), ("Search", ("contain", "a", 0, 1), "too many"),
]


@pytest.mark.parametrize("name,args,message", ARG_COUNT_CASES)
def test_argument_counts(opened, name, args, message):
    with pytest.raises(TypeError, match=f"^invalid arguments: {message} arguments$"):
        getattr(opened, name)(*args)


def test_open_argument_counts(path):
    f = morvel.File()
    with pytest.raises(TypeError, match="too few arguments$"):
        f.Open(path)
    with pytest.raises(TypeError, match="too many arguments$"):
        f.Open(path, True, 1)
    assert "unopened" in str(f)


def test_write_read_append_round_trip(opened, path):
    assert isinstance(opened.Append(b"abc"), int)
    assert opened.GetSize() == 3
    status = Status(Status.UNKNOWN_ERROR)
    assert opened.Read(0, 3, status) == b"abc"
    assert status == Status.SUCCESS
    assert opened.Append("de") == 3
    assert opened.Write(1, b"XY").IsOK()
    assert opened.Read(0, 5) == b"aXYde"
    assert opened.ReadStr(1, 2) == "XY"
    assert opened.GetPath() == path
    # Data and offsets go through the argument view: text as UTF-8, None as "".
    assert opened.Write(5, "\u00e9").IsOK()
    assert opened.Read(5, 2) == b"\xc3\xa9"
    assert opened.Append(None) == 7
    assert opened.GetSize() == 7


def test_binary_data_with_nul_bytes_survives(opened):
    data = bytes(range(256)) * 3
    assert opened.Write(0, bytearray(data)).IsOK()
    assert opened.Read(0, len(data)) == data
    assert opened.ReadStr(0, 2) == "\x00\x01"


def test_read_str_replaces_bad_utf8(opened):
    assert opened.Append(b"a\xffb") == 0
    assert opened.ReadStr(0, 3) == "a\ufffdb"


def test_read_past_end_is_a_failure_not_garbage(opened):
    opened.Append(b"12345")
    status = Status()
    assert opened.Read(3, 10, status) is None
    assert status == Status.INFEASIBLE_ERROR
    assert opened.ReadStr(5, 1, status) is None
    assert status == Status.INFEASIBLE_ERROR
    # A read ending exactly at the end is whole.
    assert opened.Read(3, 2, status) == b"45"
    assert status == Status.SUCCESS


def test_read_of_an_unallocatable_size_raises_memory_error(opened):
    opened.Append(b"x")
    with pytest.raises(MemoryError):
        opened.Read(0, morvel.Utility.INT64MAX)
    with pytest.raises(MemoryError):
        opened.ReadStr(0, morvel.Utility.INT64MAX)
    assert opened.Read(0, 1) == b"x"


def test_negative_offsets_and_sizes_are_clamped_to_zero(opened):
    opened.Append(b"abcdef")
    assert opened.Read(-10, 2) == b"ab"
    assert opened.Read(3, -1) == b""
    assert opened.ReadStr(-1, -1) == ""
    assert opened.Write(-5, b"XY").IsOK()
    assert opened.Read(0, 6) == b"XYcdef"
    assert opened.Synchronize(False, -4, -4).IsOK()
    assert opened.Truncate(-1).IsOK()
    assert opened.GetSize() == 0


def test_truncate_cuts_and_extends(opened):
    opened.Append(b"abcdef")
    assert opened.Truncate(2).IsOK()
    assert opened.GetSize() == 2
    assert opened.Read(0, 2) == b"ab"
    assert opened.Truncate(4).IsOK()
    assert opened.Read(0, 4) == b"ab\x00\x00"


@pytest.mark.parametrize("args", [(True,), (False,), (1, 0), (0, 0, 3), (True, 2, 100)])
def test_synchronize(opened, args):
    opened.Append(b"abc")
    assert opened.Synchronize(*args) == Status.SUCCESS
    assert opened.Read(0, 3) == b"abc"


@pytest.mark.parametrize("class_name", FILE_CLASSES)
def test_synchronize_leaves_the_file_at_its_logical_size(path, class_name):
    # Regression: the space reserved ahead of appends stayed on disk after
    # Synchronize, so a crash then left a file with a zero tail.
    f = morvel.File()
    assert f.Open(path, True, file=class_name, alloc_init_size=1 << 20).IsOK()
    f.Append(b"abc")
    for hard in (False, True):
        assert f.Synchronize(hard).IsOK()
        assert os.path.getsize(path) == f.GetSize()
        f.Append(b"more")
    assert f.Read(0, 11) == b"abcmoremore"
    assert f.Close().IsOK()
    assert os.path.getsize(path) == 11


def test_second_open_in_this_process_fails_at_once(path):
    # Regression: without no_wait, this waited for ever for the process's own lock.
    writer = morvel.File()
    assert writer.Open(path, True).IsOK()
    other = morvel.File()
    for writable in (True, False):
        status = other.Open(path, writable)
        assert status == Status.INFEASIBLE_ERROR
        assert "opened for writing in this process" in status.GetMessage()
    assert writer.Close().IsOK()
    assert other.Open(path, False).IsOK()
    assert other.Close().IsOK()


def test_data_persists_after_close(path):
    f = morvel.File()
    assert f.Open(path, True).IsOK()
    f.Append(b"persist")
    assert f.Close().IsOK()
    with pytest.raises(TypeError, match="not opened file$"):
        f.Close()
    with open(path, "rb") as raw:
        assert raw.read() == b"persist"
    assert f.Open(path, False).IsOK()
    assert f.Read(0, 7) == b"persist"
    # A reader cannot write.
    assert not f.Write(0, b"x").IsOK()
    assert f.Append(b"x") is None
    assert f.Close().IsOK()


def test_deallocation_releases_the_file_and_its_lock(path):
    f = morvel.File()
    assert f.Open(path, True).IsOK()
    f.Append(b"written before del")
    del f
    other = morvel.File()
    assert other.Open(path, True, no_wait=True).IsOK()
    assert other.Read(0, 18) == b"written before del"
    assert other.Close().IsOK()


def test_open_on_an_open_file_is_refused_and_keeps_it_open(opened, tmp_path):
    opened.Append(b"kept")
    with pytest.raises(TypeError, match="^invalid arguments: opened file$"):
        opened.Open(str(tmp_path / "other"), True)
    with pytest.raises(TypeError, match="^invalid arguments: opened file$"):
        opened.Open()
    assert opened.Read(0, 4) == b"kept"
    assert not (tmp_path / "other").exists()


@pytest.mark.parametrize("writable,params", [(False, {}), (True, {"no_create": True})])
def test_failed_open_leaves_the_file_unopened(tmp_path, writable, params):
    f = morvel.File()
    status = f.Open(str(tmp_path / "missing"), writable, **params)
    assert status == Status.NOT_FOUND_ERROR
    assert str(f) == "(unopened)"
    with pytest.raises(TypeError, match="not opened file$"):
        f.GetSize()
    assert not (tmp_path / "missing").exists()


def test_open_options(path):
    with open(path, "wb") as raw:
        raw.write(b"old content")
    f = morvel.File()
    assert f.Open(path, True, truncate=True, concurrent=True).IsOK()
    assert f.GetSize() == 0
    f.Append(b"new")
    assert f.Close().IsOK()
    # The options are read as text by the engine: "yes" is true, "0" false.
    assert f.Open(path, True, truncate="0", no_wait="yes").IsOK()
    assert f.Read(0, 3) == b"new"
    assert f.Close().IsOK()


@pytest.mark.parametrize("params", [
    {"file": "NoSuchFile"},
    {"alloc_init_siz": 4096},  # a typo, once ignored without a word
    {"alloc_init_size": "4k"},
    {"alloc_inc_factor": -2},
])
def test_bad_engine_parameters_fail_open(path, params):
    f = morvel.File()
    status = f.Open(path, True, **params)
    assert status == Status.INVALID_ARGUMENT_ERROR
    assert list(params)[0] in status.GetMessage() or "NoSuchFile" in status.GetMessage()
    assert "unopened" in str(f)
    assert not os.path.exists(path)


def test_no_wait_fails_at_once_on_a_locked_file(path):
    writer = morvel.File()
    assert writer.Open(path, True).IsOK()
    other = morvel.File()
    assert other.Open(path, True, no_wait=True) == Status.INFEASIBLE_ERROR
    # Without a lock the second open succeeds at once.
    assert other.Open(path, True, no_lock=True).IsOK()
    assert other.Close().IsOK()
    assert writer.Close().IsOK()


@pytest.mark.parametrize("class_name", FILE_CLASSES)
def test_repr_and_str_name_the_concrete_class(tmp_path, class_name):
    path = str(tmp_path / "caf\u00e9\n.txt")
    f = morvel.File()
    assert f.Open(path, True, file=class_name).IsOK()
    f.Append(b"12345")
    escaped = str(tmp_path) + "/caf\\xc3\\xa9\\n.txt"
    assert str(f) == f"class={class_name} path={escaped} size=5"
    assert repr(f) == f"<morvel.File: class={class_name} path={escaped} size=5>"
    # Every concrete class keeps the same contract.
    assert f.Write(7, b"z").IsOK()
    assert f.Read(5, 3) == b"\x00\x00z"
    assert f.Read(6, 3) is None
    assert f.GetPath() == path
    assert f.Close().IsOK()
    assert repr(f) == "<morvel.File:(unopened)>"


@pytest.mark.parametrize("class_name", FILE_CLASSES)
def test_extreme_offsets_fail_and_change_nothing(path, class_name):
    top = morvel.Utility.INT64MAX
    f = morvel.File()
    assert f.Open(path, True, file=class_name).IsOK()
    f.Append(b"abc")
    assert not f.Write(top, b"x").IsOK()
    assert not f.Write(top - 1, b"xy").IsOK()
    assert f.Read(top, 1) is None
    assert f.Read(top - 1, 2) is None
    assert not f.Truncate(top).IsOK()
    assert f.GetSize() == 3
    assert f.Read(0, 3) == b"abc"
    assert f.Close().IsOK()
    assert os.path.getsize(path) == 3


def test_status_receivers(opened):
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        opened.Read(0, 1, "status")
    with pytest.raises(TypeError, match="^invalid arguments: not a status object$"):
        opened.Append(b"x", 1)
    assert opened.GetSize() == 0, "a refused receiver must not let the append happen"
    status = Status(Status.UNKNOWN_ERROR, "stale")
    assert opened.Append(b"ab", status) == 0
    assert status == Status.SUCCESS and status.GetMessage() == ""
    assert opened.Read(0, 2, None) == b"ab"
    assert opened.Read(1, 5, status) is None
    assert status == Status.INFEASIBLE_ERROR


def test_offsets_and_sizes_take_numbers_and_their_text(opened):
    opened.Append(b"0123456789")
    assert opened.Read("2", 3.9) == b"234"
    assert opened.Read(None, b"2") == b"01"
    with pytest.raises(OverflowError):
        opened.Read(2 ** 64, 1)
    with pytest.raises(OverflowError):
        opened.Truncate(-(2 ** 70))
    assert opened.GetSize() == 10


LINES = ["apple", "Apple pie", "banana split", "pineapple", "grape", "\u65e5\u7c73",
         "\u65e5\u672cxx"]

# (mode, pattern, capacity, expected lines, or None to compare in any order)
SEARCH_CASES = [
    ("contain", "apple", 0, ["apple", "pineapple"]),
    ("containcase", "APPLE", 0, ["apple", "Apple pie", "pineapple"]),
    ("containword", "apple", 0, ["apple"]),
    ("containword", "split", 0, ["banana split"]),
    ("begin", "Apple", 0, ["Apple pie"]),
    ("end", "apple", 0, ["apple", "pineapple"]),
    ("regex", "^[a-z]+$", 0, ["apple", "pineapple", "grape"]),
    ("regex", "an+a", 0, ["banana split"]),
    ("contain", "nothing", 0, []),
    ("contain", "", 2, None),
    ("edit", "grap", 1, ["grape"]),
    ("editbin", "grap", 1, ["grape"]),
    # Over code points one character differs; over bytes two bytes do.
    ("edit", "\u65e5\u672c", 1, ["\u65e5\u7c73"]),
    ("editbin", "\u65e5\u672c", 1, ["\u65e5\u672cxx"]),
]


@pytest.fixture
def text_file(opened):
    for line in LINES:
        opened.Append(line + "\n")
    return opened


@pytest.mark.parametrize("mode,pattern,capacity,expected", SEARCH_CASES)
def test_search_modes(text_file, mode, pattern, capacity, expected):
    found = text_file.Search(mode, pattern, capacity)
    assert all(isinstance(line, str) for line in found)
    if expected is None:
        assert len(found) == capacity and set(found) <= set(LINES)
    elif mode.startswith("edit"):
        assert found == expected
    else:
        assert sorted(found) == sorted(expected)


def test_search_capacity_keeps_its_low_32_bits(text_file):
    assert len(text_file.Search("contain", "", 2 ** 32 + 1)) == 1
    assert len(text_file.Search("contain", "", -1)) == len(LINES)
    assert len(text_file.Search("contain", "")) == len(LINES)


@pytest.mark.parametrize("mode,pattern", [("nosuchmode", "a"), ("regex", "(unclosed"),
                                          ("upper", "a")])
def test_search_failures_raise_status_exception(text_file, mode, pattern):
    with pytest.raises(morvel.StatusException) as info:
        text_file.Search(mode, pattern)
    assert info.value.GetStatus() == Status.INVALID_ARGUMENT_ERROR
    assert isinstance(info.value, RuntimeError)


def test_concurrent_appends_never_overlap(tmp_path):
    f = morvel.File()
    assert f.Open(str(tmp_path / "c.txt"), True, concurrent=True).IsOK()
    offsets = []

    def worker(tag):
        for _ in range(200):
            offsets.append((f.Append(tag * 8), tag))

    threads = [threading.Thread(target=worker, args=(bytes([65 + i]),)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert f.GetSize() == 4 * 200 * 8
    assert sorted(off for off, _ in offsets) == list(range(0, 4 * 200 * 8, 8))
    for off, tag in offsets:
        assert f.Read(off, 8) == tag * 8
    assert f.Close().IsOK()


def test_close_while_other_threads_read_never_crashes(tmp_path):
    # Readers race a Close: every read either sees the whole data or is
    # refused, and nothing touches a freed engine file.
    for _ in range(20):
        f = morvel.File()
        assert f.Open(str(tmp_path / "r.txt"), True, concurrent=True, truncate=True).IsOK()
        f.Append(b"0123456789" * 100)
        outcomes = []

        def reader():
            for _ in range(50):
                try:
                    outcomes.append(f.Read(0, 1000))
                except TypeError as error:
                    outcomes.append(str(error))

        threads = [threading.Thread(target=reader) for _ in range(3)]
        for thread in threads:
            thread.start()
        assert f.Close().IsOK()
        for thread in threads:
            thread.join()
        for outcome in outcomes:
            assert outcome in (b"0123456789" * 100, None,
                               "invalid arguments: not opened file")


HOLD_LOCK = """
import sys, morvel
f = morvel.File()
assert f.Open(sys.argv[1], True).IsOK()
print("locked", flush=True)
sys.stdin.readline()
f.Close()
"""


def test_a_file_being_opened_shows_unopened_until_the_open_returns(path):
    # The open of another thread waits for the file lock that another process
    # holds; meanwhile the File is unopened to every other call, and a second
    # Open is refused.
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert holder.stdout.readline() == b"locked\n"
    waiting = morvel.File()
    results = []

    def opening():
        with pytest.raises(TypeError) as info:
            waiting.Open()
        return str(info.value) == "invalid arguments: opened file"

    thread = threading.Thread(target=lambda: results.append(waiting.Open(path, True)))
    thread.start()
    while not opening() and thread.is_alive():
        pass
    assert not results
    assert str(waiting) == "(unopened)"
    assert repr(waiting) == "<morvel.File:(unopened)>"
    with pytest.raises(TypeError, match="not opened file"):
        waiting.GetSize()
    holder.communicate(b"\n")
    assert holder.returncode == 0
    thread.join()
    assert results[0] == Status.SUCCESS
    assert str(waiting).startswith("class=MemoryMapParallelFile path=")
    assert waiting.Close().IsOK()


def test_subclass_instances_work(path):
    class MyFile(morvel.File):
        pass

    f = MyFile()
    assert f.Open(path, True).IsOK()
    assert f.Append(b"sub") == 0
    assert f.Close().IsOK()


# Calls whose arguments close the File while they convert; each returns
# whether the call failed by its own convention.
CLOSING_CALLS = {
    "Read": lambda f: f.Read(Closer(f), 1) is None,
    "ReadStr": lambda f: f.ReadStr(0, Closer(f)) is None,
    "Write": lambda f: f.Write(0, Closer(f)) == Status.PRECONDITION_ERROR,
    "Append": lambda f: f.Append(Closer(f)) is None,
    "Truncate": lambda f: f.Truncate(Closer(f)) == Status.PRECONDITION_ERROR,
    "Synchronize": lambda f: f.Synchronize(Closer(f)) == Status.PRECONDITION_ERROR,
}


@pytest.mark.parametrize("name", sorted(CLOSING_CALLS))
def test_closing_while_arguments_convert_fails_cleanly(opened, name):
    opened.Append(b"data")
    assert CLOSING_CALLS[name](opened)
    assert str(opened) == "(unopened)"


def test_search_closing_while_arguments_convert_raises(opened):
    opened.Append(b"line\n")
    with pytest.raises(morvel.StatusException) as info:
        opened.Search("contain", Closer(opened, "line"))
    assert info.value.GetStatus() == Status.PRECONDITION_ERROR


def test_open_while_arguments_convert_keeps_the_first_open(tmp_path):
    f = morvel.File()
    first = str(tmp_path / "first")

    class Opener:
        def __str__(self):
            assert f.Open(first, True).IsOK()
            return str(tmp_path / "second")

    with pytest.raises(TypeError, match="^invalid arguments: opened file$"):
        f.Open(Opener(), True)
    assert f.GetPath() == first
    assert f.Append(b"still open") == 0
    assert f.Close().IsOK()
    assert not (tmp_path / "second").exists()


def test_with_returns_the_file_and_closes_it(path):
    f = morvel.File()
    with f as entered:
        assert entered is f
        assert f.Open(path, True).IsOK()
        assert f.Append(b"abc") == 0
    assert str(f) == "(unopened)"
    assert os.path.getsize(path) == 3


def test_with_closes_on_an_exception_and_lets_it_propagate(path):
    f = morvel.File()
    with pytest.raises(ZeroDivisionError):
        with f:
            assert f.Open(path, True).IsOK()
            f.Write(0, b"xyz")
            1 / 0
    assert str(f) == "(unopened)"
    with open(path, "rb") as raw:
        assert raw.read() == b"xyz"


@pytest.mark.parametrize("before", ["never opened", "closed in the block"])
def test_with_on_an_unopened_file_exits_quietly(path, before):
    f = morvel.File()
    with f:
        if before == "closed in the block":
            assert f.Open(path, True).IsOK()
            assert f.Close().IsOK()
    assert str(f) == "(unopened)"
    assert f.__exit__(None, None, None) is False
