"""Tests of IndexIterator: a cursor over the (key, value) pairs of an Index."""

import gc
import threading

import pytest

import morvel
from morvel import Index, IndexIterator, StatusException

PAIRS = [(b"a", b"1"), (b"a", b"2"), (b"b", b"3")]


@pytest.fixture(params=["memory", "file"])
def idx(request, tmp_path):
    """An index holding PAIRS, in memory and on a file."""
    path = str(tmp_path / "index.mvmb") if request.param == "file" else ""
    index = Index()
    assert index.Open(path, True).IsOK()
    for key, value in reversed(PAIRS):
        index.Add(key, value)
    yield index
    if index.IsOpen():
        index.Close()


def test_for_loop_over_the_index(idx):
    assert [pair for pair in idx] == PAIRS


@pytest.mark.parametrize("make", [
    lambda i: i.MakeIterator(),
    lambda i: IndexIterator(i),
    lambda i: iter(i),
])
def test_each_way_of_making_walks_all_pairs(idx, make):
    it = make(idx)
    assert isinstance(it, IndexIterator)
    it.First()
    assert list(map(lambda _: next(it), PAIRS)) == PAIRS
    with pytest.raises(StopIteration, match="^end of iteration$"):
        next(it)
    # An ended iterator restarts.
    it.Jump("b")
    assert next(it) == (b"b", b"3")


@pytest.mark.parametrize("args, expected", [
    (("a",), (b"a", b"1")),
    (("a", "2"), (b"a", b"2")),
    (("a", "15"), (b"a", b"2")),
    (("aa",), (b"b", b"3")),  # a missing key: the first pair of the next one
    (("",), (b"a", b"1")),
    (("b", "4"), None),
    (("c",), None),
])
def test_jump(idx, args, expected):
    it = idx.MakeIterator()
    assert it.Jump(*args) is None
    assert it.Get() == expected


def test_forward_from_a_jump_to_a_missing_key(idx):
    idx.Add("ab", "x")
    idx.Add("ab", "y")
    it = idx.MakeIterator()
    it.Jump("aa")
    assert [next(it) for _ in range(3)] == [(b"ab", b"x"), (b"ab", b"y"), (b"b", b"3")]
    with pytest.raises(StopIteration):
        next(it)


def test_jump_converts_its_arguments(idx):
    idx.Add("1", "")
    idx.Add("1", "z")
    it = idx.MakeIterator()
    it.Jump(1)
    assert it.Get() == (b"1", b"")
    it.Jump(1, None)
    assert it.Get() == (b"1", b"")
    it.Jump(bytearray(b"1"), "y")
    assert it.Get() == (b"1", b"z")


def test_moves_both_ways(idx):
    it = idx.MakeIterator()
    assert it.Last() is None
    assert it.GetStr() == ("b", "3")
    assert it.Previous() is None
    assert it.Get() == (b"a", b"2")
    it.Next()
    it.Next()
    assert it.Get() is None
    assert it.GetStr() is None
    it.First()
    it.Previous()
    assert it.Get() is None


def test_binary_pairs(idx):
    pairs = [(b"\0", b"\0\xff"), (b"a\0", b"\0"), (b"a\0", b"\x80\0" * 100)]
    for key, value in pairs:
        idx.Add(key, value)
    it = idx.MakeIterator()
    it.First()
    seen = []
    for pair in map(lambda _: next(it), range(len(PAIRS) + len(pairs))):
        seen.append(pair)
    assert sorted(seen) == sorted(PAIRS + pairs)
    it.Jump(b"a\0", b"\x01")
    assert it.Get() == (b"a\0", b"\x80\0" * 100)
    assert it.GetStr() == ("a\0", "\ufffd\0" * 100)


def test_repr_and_str(idx):
    it = idx.MakeIterator()
    assert str(it) == "(unlocated)"
    assert repr(it) == "<morvel.IndexIterator: key=(unlocated)>"
    it.First()
    assert repr(it) == "<morvel.IndexIterator: key=a>"
    assert str(it) == "a"
    idx.Add(b"\t\xe9", "v")
    it.First()
    assert str(it) == "\\t\\xe9"


def test_not_iterable_itself(idx):
    with pytest.raises(TypeError, match="not iterable"):
        iter(idx.MakeIterator())


@pytest.mark.parametrize("args, message", [
    ((), "too few arguments"),
    (("x", "y"), "too many arguments"),
    ((morvel.DBM(),), "the argument is not an Index"),
    (("index",), "the argument is not an Index"),
    ((Index(),), "not opened index"),
])
def test_constructor_errors(args, message):
    with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
        IndexIterator(*args)


def test_constructor_accepts_a_subclass_and_replaces_its_cursor(idx):
    class MyIndex(Index):
        pass

    other = MyIndex()
    assert other.Open("", True).IsOK()
    other.Add("z", "9")
    it = IndexIterator(other)
    it.First()
    assert it.Get() == (b"z", b"9")
    it.__init__(idx)
    assert it.Get() is None  # a new cursor, not placed
    it.First()
    assert it.Get() == PAIRS[0]
    other.Close()


@pytest.mark.parametrize("args, message", [((), "too few arguments"),
                                           (("a", "1", "x"), "too many arguments")])
def test_jump_argument_count_leaves_the_cursor(idx, args, message):
    it = idx.MakeIterator()
    it.Last()
    with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
        it.Jump(*args)
    assert it.Get() == PAIRS[-1]


def test_uninitialized_iterator():
    it = IndexIterator.__new__(IndexIterator)
    for call in [it.First, it.Last, it.Next, it.Previous, it.Get, it.GetStr,
                 lambda: it.Jump("a")]:
        with pytest.raises(TypeError, match="^invalid arguments: not initialized iterator$"):
            call()
    assert str(it) == "(unlocated)"
    assert repr(it) == "<morvel.IndexIterator: key=(unlocated)>"
    with pytest.raises(StopIteration):
        next(it)


def test_iterator_outliving_close_fails_without_crashing(idx):
    it = idx.MakeIterator()
    it.First()
    assert next(it) == PAIRS[0]
    idx.Close()
    for move in [it.First, it.Last, it.Next, it.Previous, lambda: it.Jump("a")]:
        assert move() is None
    assert it.Get() is None
    assert str(it) == "(unlocated)"
    # Iteration does not end as if the pairs were all seen.
    with pytest.raises(StatusException, match="PRECONDITION_ERROR"):
        next(it)


def test_iterator_outliving_its_index(tmp_path):
    idx = Index()
    assert idx.Open(str(tmp_path / "index.mvmb"), True).IsOK()
    idx.Add("k", "v")
    it = iter(idx)
    del idx
    gc.collect()
    # The deallocated index closed and wrote its file at once.
    reopened = Index()
    assert reopened.Open(str(tmp_path / "index.mvmb"), False, no_wait=True).IsOK()
    assert list(reopened) == [(b"k", b"v")]
    reopened.Close()
    with pytest.raises(StatusException):
        next(it)
    it.First()
    assert it.Get() is None


def test_records_added_while_walking(idx):
    it = iter(idx)
    assert next(it) == PAIRS[0]
    idx.Add("a", "3")
    idx.Remove("b", "3")
    idx.Add("c", "0")
    assert list(map(lambda _: next(it), range(3))) == [(b"a", b"2"), (b"a", b"3"), (b"c", b"0")]
    with pytest.raises(StopIteration):
        next(it)


def test_iterators_of_threads_beside_a_writer():
    """In concurrent mode each thread walks its own iterator while another
    thread adds pairs: every walk is in order and holds every pair that was
    there before it started."""
    idx = Index()
    assert idx.Open("", True, concurrent=True).IsOK()
    fixed = [(f"k{i:03d}".encode(), b"v") for i in range(300)]
    for key, value in fixed:
        idx.Add(key, value)
    walks, errors = [], []

    def walker():
        try:
            for _ in range(5):
                walks.append(list(idx))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def writer():
        for i in range(300):
            idx.Add(f"k{i:03d}", f"w{i}")

    threads = [threading.Thread(target=walker) for _ in range(3)]
    threads.append(threading.Thread(target=writer))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(walks) == 15
    for walk in walks:
        assert walk == sorted(walk)
        assert set(fixed) <= set(walk)
    assert len(idx) == 600
    idx.Close()
