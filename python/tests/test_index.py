"""Tests of Index: a multimap of keys to values kept in one ordered database."""

import gc
import os
import re
import subprocess
import sys
import threading
import time

import pytest

import morvel
from morvel import Index, Status, StatusException
from test_concurrency import LOCK_HOLDER

# Index kinds: a path relative to the test's temporary directory ("" keeps the
# index in memory) and the parameters of Open.
INDEX_KINDS = {
    "memory": ("", {}),
    "baby-file": ("index.mvmb", {}),
    "baby-param": ("index.dat", {"dbm": "BabyDBM"}),
}


def open_index(path, writable=True, **params):
    idx = Index()
    status = idx.Open(path, writable, **params)
    assert status.IsOK(), status
    return idx


@pytest.fixture
def make_index(tmp_path):
    """Opens indexes; closes whatever is still open at teardown."""
    made = []

    def make(kind="memory", writable=True, **extra):
        rel_path, params = INDEX_KINDS[kind]
        idx = open_index(str(tmp_path / rel_path) if rel_path else "", writable,
                         **params, **extra)
        made.append(idx)
        return idx

    yield make
    for idx in made:
        if idx.IsOpen():
            idx.Close()


@pytest.fixture(params=list(INDEX_KINDS))
def idx(request, make_index):
    """An empty writable index of each kind in turn."""
    return make_index(request.param)


def tree_index_or_skip(path, **params):
    """An index on a tree file, or a skip while the tree class is not built."""
    idx = Index()
    status = idx.Open(path, True, **params)
    if status == Status.NOT_IMPLEMENTED_ERROR:
        pytest.skip(f"tree database not available: {status}")
    assert status.IsOK(), status
    return idx


class TestClosed:
    def test_state_of_a_new_index(self):
        idx = Index()
        assert not idx.IsOpen()
        assert len(idx) == 0
        assert repr(idx) == "<morvel.Index: path=- num_records=-1>"
        assert str(idx) == "path=- num_records=-1"

    @pytest.mark.parametrize("call", [
        lambda i: i.Close(),
        lambda i: i.GetValues("k"),
        lambda i: i.GetValuesStr("k"),
        lambda i: i.Add("k", "v"),
        lambda i: i.Remove("k", "v"),
        lambda i: i.Count(),
        lambda i: i.GetFilePath(),
        lambda i: i.Clear(),
        lambda i: i.Rebuild(),
        lambda i: i.Synchronize(False),
        lambda i: i.IsWritable(),
        lambda i: i.MakeIterator(),
        lambda i: iter(i),
        lambda i: ("k", "v") in i,
        # The state check comes before the argument count check.
        lambda i: i.Add(),
        lambda i: i.Synchronize(),
    ])
    def test_methods_refuse_a_closed_index(self, call):
        with pytest.raises(TypeError, match="^invalid arguments: not opened index$"):
            call(Index())

    def test_constructor_takes_no_positional_argument(self):
        with pytest.raises(TypeError, match="^invalid arguments: too many arguments$"):
            Index("x")
        Index(concurrent=True)  # keywords are ignored


class TestOpenClose:
    def test_open_and_close(self, tmp_path):
        path = str(tmp_path / "index.mvmb")
        idx = Index()
        status = idx.Open(path, True)
        assert isinstance(status, Status) and status.IsOK()
        assert idx.IsOpen() and idx.IsWritable()
        assert idx.GetFilePath() == path
        idx.__init__()  # leaves an open index open
        assert idx.IsOpen()
        status = idx.Close()
        assert isinstance(status, Status) and status.IsOK()
        assert not idx.IsOpen()
        with pytest.raises(TypeError, match="not opened index"):
            idx.Close()

    @pytest.mark.parametrize("args", [("", True), (), ("", True, 1)])
    def test_second_open_is_refused_before_its_arguments(self, make_index, args):
        idx = make_index()
        with pytest.raises(TypeError, match="^invalid arguments: opened index$"):
            idx.Open(*args)
        assert idx.IsOpen()

    @pytest.mark.parametrize("args, message", [
        ((), "too few arguments"),
        (("",), "too few arguments"),
        (("", True, 1), "too many arguments"),
    ])
    def test_open_argument_count(self, args, message):
        idx = Index()
        with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
            idx.Open(*args)
        assert not idx.IsOpen()

    @pytest.mark.parametrize("call, message", [
        (lambda i: i.Add("k"), "too few arguments"),
        (lambda i: i.Add("k", "v", "w"), "too many arguments"),
        (lambda i: i.Remove("k"), "too few arguments"),
        (lambda i: i.GetValues(), "too few arguments"),
        (lambda i: i.GetValues("k", 1, 2), "too many arguments"),
        (lambda i: i.GetValuesStr(), "too few arguments"),
        (lambda i: i.Synchronize(), "too few arguments"),
        (lambda i: i.Synchronize(False, 1), "too many arguments"),
    ])
    def test_argument_counts(self, make_index, call, message):
        with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
            call(make_index())

    def test_failed_open_leaves_it_closed(self, tmp_path):
        idx = Index()
        status = idx.Open(str(tmp_path / "missing.mvmb"), False)
        assert status == Status.NOT_FOUND_ERROR
        assert not idx.IsOpen()
        assert idx.Open("", True).IsOK()
        idx.Close()

    def test_path_with_nul_is_refused(self, tmp_path):
        idx = Index()
        status = idx.Open(str(tmp_path / "a\0b.mvmb"), True)
        assert status == Status.INVALID_ARGUMENT_ERROR
        assert not idx.IsOpen()
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("name, params", [
        ("index.mvh", {}),
        ("index.dat", {}),
        ("index.mvmb", {"dbm": "HashDBM"}),
        ("index.mvmb", {"dbm": "tiny"}),
    ])
    def test_unordered_database_is_refused_without_touching_the_file(self, tmp_path, name,
                                                                      params):
        path = str(tmp_path / name)
        idx = Index()
        status = idx.Open(path, True, **params)
        assert status == Status.INVALID_ARGUMENT_ERROR
        assert status.GetMessage() == "the index needs an ordered database"
        assert not idx.IsOpen()
        assert not os.path.exists(path)

    def test_refused_open_keeps_an_existing_hash_database(self, tmp_path):
        path = str(tmp_path / "data.mvh")
        db = morvel.DBM()
        assert db.Open(path, True, num_buckets=100).IsOK()
        db.Set("k", "v")
        db.Close()
        assert Index().Open(path, True, truncate=True) == Status.INVALID_ARGUMENT_ERROR
        assert db.Open(path, False).IsOK()
        assert db.GetStr("k") == "v"
        db.Close()

    def test_memory_index_ignores_the_tree_class(self):
        # An empty path always opens the memory class, without the tree's
        # tuning, which the memory class would refuse.
        idx = open_index("", dbm="treedbm")
        idx.Add("k", "v")
        assert idx.GetValues("k") == [b"v"]
        idx.Close()

    def test_caller_parameters_reach_the_database(self, tmp_path):
        status = Index().Open(str(tmp_path / "index.mvmb"), True, max_page_size=1000)
        assert status == Status.INVALID_ARGUMENT_ERROR
        assert "max_page_size" in status.GetMessage()

    def test_caller_comparator_wins(self):
        # Under the plain lexical comparator the composite's length prefix
        # sorts the short key "b" before "aa"; the pair comparator would not.
        idx = open_index("", key_comparator="LexicalKeyComparator")
        idx.Add("aa", "1")
        idx.Add("b", "2")
        assert list(idx) == [(b"b", b"2"), (b"aa", b"1")]
        assert idx.GetValues("aa") == [b"1"]
        idx.Close()
        idx = open_index("")
        idx.Add("aa", "1")
        idx.Add("b", "2")
        assert list(idx) == [(b"aa", b"1"), (b"b", b"2")]
        idx.Close()

    @pytest.mark.parametrize("value, concurrent", [("yes", True), ("0", False), ("x", False)])
    def test_option_parameters_are_read_and_removed(self, tmp_path, value, concurrent):
        path = str(tmp_path / "index.mvmb")
        idx = open_index(path)
        idx.Add("k", "v")
        idx.Close()
        # Were either reached the database, the memory class would refuse it.
        idx = open_index(path, concurrent=value, truncate=value, no_wait="no",
                         no_lock="no", sync_hard="no")
        assert len(idx) == (0 if concurrent else 1)
        idx.Close()

    def test_context_manager_closes(self):
        with Index() as idx:
            assert idx.Open("", True).IsOK()
            idx.Add("k", "v")
        assert not idx.IsOpen()


class TestRecords:
    def test_values_of_a_key_in_byte_order(self, idx):
        for key, value in [("k", "y"), ("k", "x"), ("k2", "c"), ("kk", "d"), ("j", "e")]:
            assert idx.Add(key, value).IsOK()
        assert idx.GetValues("k") == [b"x", b"y"]
        assert idx.GetValuesStr("k") == ["x", "y"]
        assert idx.GetValues("missing") == []
        assert idx.Count() == 5 == len(idx)

    @pytest.mark.parametrize("limit, expected", [
        (0, [b"a", b"b", b"c"]),
        (1, [b"a"]),
        (2, [b"a", b"b"]),
        (3, [b"a", b"b", b"c"]),
        (10, [b"a", b"b", b"c"]),
        (-1, [b"a", b"b", b"c"]),
        ("2", [b"a", b"b"]),
        (2 ** 32 + 1, [b"a"]),  # the limit is taken as 32 bits
    ])
    def test_limits(self, make_index, limit, expected):
        idx = make_index()
        for value in "cab":
            idx.Add("k", value)
        idx.Add("l", "z")
        assert idx.GetValues("k", limit) == expected
        assert idx.GetValuesStr("k", limit) == [v.decode() for v in expected]

    def test_keys_that_are_prefixes_of_others(self, idx):
        pairs = [("", "e0"), ("", "e1"), ("a", "1"), ("ab", "2"), ("abc", "3"),
                 ("a\0", "4"), ("b", "5")]
        for key, value in pairs:
            idx.Add(key, value)
        assert idx.GetValues("") == [b"e0", b"e1"]
        assert idx.GetValues("a") == [b"1"]
        assert idx.GetValues("ab") == [b"2"]
        assert idx.GetValues("a\0") == [b"4"]
        assert idx.GetValues("abcd") == []

    def test_binary_keys_and_values(self, idx):
        pairs = {(b"\0", b"\0\0"), (b"\0", b""), (b"k\0\xff", b"\xff\0v"),
                 (b"k\0\xff", b"\x80" * 300), (b"k", b"\0")}
        for key, value in pairs:
            assert idx.Add(bytearray(key), value).IsOK()
        for key in {k for k, _ in pairs}:
            assert idx.GetValues(key) == sorted(v for k, v in pairs if k == key)
        assert set(idx) == pairs
        assert all((k, v) in idx for k, v in pairs)
        assert idx.GetValuesStr(b"k\0\xff")[1] == "\ufffd\x00v"

    def test_add_remove_contains(self, idx):
        assert idx.Add("k", "v").IsOK()
        assert idx.Add("k", "v").IsOK()
        assert idx.Add("k", "w").IsOK()
        assert idx.Count() == 2
        assert ("k", "v") in idx
        assert ["k", "w"] in idx
        assert ("k", "z") not in idx
        assert idx.Remove("k", "v").IsOK()
        assert ("k", "v") not in idx
        assert idx.GetValues("k") == [b"w"]
        assert idx.Remove("k", "v") == Status.NOT_FOUND_ERROR

    def test_non_text_arguments(self, idx):
        idx.Add(1, 2)
        idx.Add(None, 3.5)
        assert idx.GetValues("1") == [b"2"]
        assert idx.GetValues(1) == [b"2"]
        assert idx.GetValues("") == [b"3.5"]
        assert "12" in idx  # a str of length 2 is the pair of its characters
        assert b"kv" not in idx  # the items of bytes are ints: ("107", "118")
        idx.Add("107", "118")
        assert b"kv" in idx

    @pytest.mark.parametrize("obj, message", [
        (("k",), "not pair argument"),
        (("k", "v", "w"), "not pair argument"),
        ("abc", "not pair argument"),
        (5, "not sequence argument"),
        ({"k": "v"}, "not sequence argument"),
    ])
    def test_contains_argument_errors(self, make_index, obj, message):
        with pytest.raises(TypeError, match=f"^invalid arguments: {message}$"):
            obj in make_index()

    def test_clear_rebuild_synchronize(self, idx):
        for i in range(100):
            idx.Add(f"k{i % 7}", f"v{i}")
        assert idx.Rebuild().IsOK()
        assert idx.Synchronize(False).IsOK()
        assert idx.Synchronize(True).IsOK()
        assert len(idx) == 100
        assert idx.GetValues("k3") == sorted(f"v{i}".encode() for i in range(3, 100, 7))
        assert idx.Clear().IsOK()
        assert len(idx) == 0 and idx.GetValues("k3") == []

    def test_repr_and_str(self, tmp_path):
        path = str(tmp_path / "in\tdex\xe9.mvmb")
        idx = open_index(path)
        idx.Add("k", "v")
        escaped = path.replace("\t", "\\t").replace("\xe9", "\\xc3\\xa9")
        assert repr(idx) == f"<morvel.Index: path={escaped} num_records=1>"
        assert str(idx) == f"path={escaped} num_records=1"
        idx.Close()
        assert repr(open_index("")) == "<morvel.Index: path= num_records=0>"


class TestFiles:
    def test_reopened_read_only(self, tmp_path):
        path = str(tmp_path / "index.mvmb")
        idx = open_index(path)
        for i in range(50):
            idx.Add(f"key{i % 5}".encode(), b"\0" + bytes([i]))
        idx.Close()
        idx = open_index(path, False)
        assert not idx.IsWritable()
        assert len(idx) == 50
        assert idx.GetValues("key2") == [b"\0" + bytes([i]) for i in range(2, 50, 5)]
        assert idx.Add("key9", "v") != Status.SUCCESS
        assert idx.Remove("key2", b"\0\2") != Status.SUCCESS
        assert len(idx) == 50
        idx.Close()

    def test_truncate(self, tmp_path):
        path = str(tmp_path / "index.mvmb")
        open_index(path).Add("k", "v")  # deallocation closes and writes it
        gc.collect()
        idx = open_index(path, truncate=True)
        assert len(idx) == 0
        idx.Close()

    @pytest.mark.parametrize("name, params", [
        ("index.mvt", {}),
        ("INDEX.MVT", {}),
        ("index.tree", {}),
        ("index.dat", {"dbm": "TreeDBM"}),
        ("index.mvmb", {"dbm": "tReE"}),
    ])
    def test_tree_file(self, tmp_path, name, params):
        path = str(tmp_path / name)
        idx = tree_index_or_skip(path, **params)
        for i in range(2000):
            idx.Add(f"k{i % 13}", f"{i:05d}")
        idx.Close()
        idx = open_index(path, False, **params)
        assert len(idx) == 2000
        assert idx.GetValuesStr("k4", 3) == ["00004", "00017", "00030"]
        idx.Close()

    def test_tree_file_takes_caller_tuning(self, tmp_path):
        idx = tree_index_or_skip(str(tmp_path / "index.mvt"), max_page_size=1000, align_pow=4)
        idx.Add("k", "v")
        assert idx.GetValues("k") == [b"v"]
        idx.Close()


def test_lifetime_beyond_close_and_deallocation(tmp_path):
    idx = open_index(str(tmp_path / "index.mvmb"))
    idx.Add("k", "v")
    it = idx.MakeIterator()
    it.First()
    idx.Close()
    # The file lock went with Close, though the iterator still holds the store.
    other = open_index(str(tmp_path / "index.mvmb"), no_wait=True)
    assert other.GetValues("k") == [b"v"]
    other.Close()
    it.First()
    assert it.Get() is None
    idx = open_index("")
    it = iter(idx)
    del idx
    gc.collect()
    assert it.Get() is None


def test_concurrent_writers_and_readers(make_index):
    idx = make_index(concurrent=True)
    num_threads, num_pairs = 4, 500
    errors = []

    def writer(tid):
        try:
            for i in range(num_pairs):
                assert idx.Add(f"k{i % 10}", f"{tid}:{i:04d}").IsOK()
                values = idx.GetValues(f"k{i % 10}")
                assert f"{tid}:{i:04d}".encode() in values
                assert values == sorted(values)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(num_threads)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(idx) == num_threads * num_pairs
    assert len(idx.GetValues("k3")) == num_threads * num_pairs // 10


@pytest.mark.parametrize("concurrent", [False, True])
def test_waiting_for_another_process_lock_lets_threads_run(tmp_path, concurrent):
    """Open waits for another process's file lock with the interpreter lock
    released; the thread that runs meanwhile is the one that ends the wait."""
    path = str(tmp_path / "index.mvmb")
    with subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, "Index", path],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        assert child.stdout.readline() == "locked\n"
        in_open = threading.Event()
        progress = []

        def counter():
            in_open.wait()
            while len(progress) < 20 and in_open.is_set():
                time.sleep(0.01)
                progress.append(in_open.is_set())
            child.stdin.write("go\n")
            child.stdin.flush()

        thread = threading.Thread(target=counter, daemon=True)
        thread.start()
        idx = Index()
        in_open.set()
        status = idx.Open(path, True, concurrent=concurrent)
        in_open.clear()
        thread.join()
        assert status.IsOK()
        idx.Close()
        assert progress == [True] * 20


IDENTIFIER = re.compile(rb"[A-Za-z_][A-Za-z0-9_]*")
STDLIB_MODULES = ["json", "textwrap", "shlex", "string", "heapq", "bisect", "fnmatch"]


def test_inverted_index_of_stdlib_sources(tmp_path):
    """Identifiers of a few standard modules' sources to their file names, checked
    exactly against a dict of sets, in memory and through a file."""
    files = {}
    for name in STDLIB_MODULES:
        module = __import__(name)
        sources = [module.__file__]
        if module.__file__.endswith("__init__.py"):
            folder = os.path.dirname(module.__file__)
            sources = [os.path.join(folder, f) for f in sorted(os.listdir(folder))
                       if f.endswith(".py")]
        for source in sources:
            with open(source, "rb") as f:
                files[os.path.relpath(source, os.path.dirname(os.__file__))] = f.read()
    expected = {}
    path = str(tmp_path / "words.mvmb")
    idx = open_index(path)
    for file_name, text in files.items():
        for word in set(IDENTIFIER.findall(text)):
            expected.setdefault(word, set()).add(file_name.encode())
            assert idx.Add(word, file_name).IsOK()
    assert len(idx) == sum(len(names) for names in expected.values())
    idx.Close()
    idx = open_index(path, False)
    for word, names in expected.items():
        assert idx.GetValues(word) == sorted(names), word
    assert idx.GetValues(b"no such identifier") == []
    found = {}
    for word, name in idx:
        found.setdefault(word, set()).add(name)
    assert found == expected
    idx.Close()
