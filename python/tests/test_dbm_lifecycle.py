"""DBM handles: Open, Close, the state queries, repr and str, and what happens
to what was made from a handle once it is closed or gone."""

import gc
import threading

import pytest

import morvel
from conftest import DB_KINDS, open_kind

DBM = morvel.DBM
Status = morvel.Status


def invalid(word):
    return pytest.raises(TypeError, match="^invalid arguments: " + word + "$")


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def test_a_new_handle_is_closed():
    db = DBM()
    assert db.IsOpen() is False
    assert repr(db) == "<morvel.DBM: class=unknown path=- num_records=-1>"
    assert str(db) == "unknown:-:-1"
    assert len(db) == 0


@pytest.mark.parametrize("name", ["Close", "IsWritable", "IsHealthy", "IsOrdered",
                                  "MakeIterator"])
def test_methods_of_a_closed_handle_raise(name):
    with invalid("not opened database"):
        getattr(DBM(), name)()


def test_init_takes_no_positional_arguments():
    with invalid("too many arguments"):
        DBM("x")
    db = DBM(path="ignored")
    assert not db.IsOpen()


def test_init_on_an_open_handle_changes_nothing(tinydb):
    tinydb["k"] = "v"
    tinydb.__init__()
    assert tinydb.IsOpen() and tinydb["k"] == "v"


@pytest.mark.parametrize("args, word", [(("",), "too few arguments"),
                                        ((), "too few arguments"),
                                        (("", True, 1), "too many arguments")])
def test_open_argument_counts(args, word):
    db = DBM()
    with invalid(word):
        db.Open(*args)
    assert not db.IsOpen()


def test_open_on_an_open_handle_is_refused(tinydb):
    with invalid("opened database"):
        tinydb.Open()
    with invalid("opened database"):
        tinydb.Open("", True)
    assert tinydb.IsOpen()


def test_a_raising_writable_flag_raises_before_opening():
    db = DBM()
    with pytest.raises(ZeroDivisionError):
        db.Open("", RaisingBool())
    assert not db.IsOpen()


def test_open_close_reopen(tmp_path):
    path = str(tmp_path / "db.mvmt")
    db = DBM()
    assert db.Open(path, True) == Status.SUCCESS
    assert db.IsOpen() and db.IsWritable() and db.IsHealthy()
    assert db.IsOrdered() is False
    db["k"] = "v"
    status = db.Close()
    assert isinstance(status, Status) and status.IsOK()
    assert not db.IsOpen()
    with invalid("not opened database"):
        db.Close()
    assert db.Open(path, False).IsOK()
    assert db.IsWritable() is False
    assert db["k"] == "v"
    assert db.Close().IsOK()


def test_a_failed_open_leaves_the_handle_closed(tmp_path):
    db = DBM()
    status = db.Open(str(tmp_path / "missing.mvmt"), False)
    assert status == Status.NOT_FOUND_ERROR
    assert not db.IsOpen()
    with invalid("not opened database"):
        db.IsWritable()
    status = db.Open("", True, dbm="NoSuchClass")
    assert status == Status.INVALID_ARGUMENT_ERROR
    assert not db.IsOpen()
    assert db.Open("", True).IsOK()
    db.Close()


@pytest.mark.parametrize("file_name, params, named", [
    # Regression: each was accepted with SUCCESS and changed nothing.
    ("db.mvh", {"num_bucket": 10}, "num_bucket"),
    ("db.mvh", {"update_mod": "appending"}, "update_mod"),
    ("db.mvh", {"num_buckets": "lots"}, "num_buckets"),
    ("db.mvh", {"num_buckets": "1e12"}, "num_buckets"),
    ("db.mvh", {"fbp_capacity": -1}, "fbp_capacity"),
    ("db.mvmt", {"num_buckets": -10}, "num_buckets"),
    ("db.mvmb", {"num_buckets": 10}, "num_buckets"),
    ("db.mvh", {"num_shards": 2, "update_mod": "appending"}, "update_mod"),
])
def test_bad_tuning_parameters_fail_open_and_create_nothing(tmp_path, file_name, params,
                                                             named):
    db = DBM()
    status = db.Open(str(tmp_path / file_name), True, **params)
    assert status == Status.INVALID_ARGUMENT_ERROR
    assert named in status.GetMessage()
    assert not db.IsOpen()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kind, ordered", [("tiny", False), ("baby", True),
                                           ("shard-tiny", False), ("shard-baby", True)])
def test_state_queries_of_each_kind(make_db, kind, ordered):
    db = make_db(kind)
    assert db.IsOrdered() is ordered
    assert db.IsWritable() is True
    assert db.IsHealthy() is True


def test_keyword_parameters_choose_the_class():
    db = DBM()
    assert db.Open("", True, dbm="baby").IsOK()
    assert db.IsOrdered()
    assert str(db).startswith("BabyDBM:")
    db.Close()
    assert db.Open("", True, dbm="TinyDBM", concurrent=True, truncate=True).IsOK()
    assert not db.IsOrdered()
    db.Close()


@pytest.mark.parametrize("num_shards, sharded", [(None, False), (-1, False), (0, True),
                                                 (3, True)])
def test_num_shards_chooses_a_sharded_database(tmp_path, num_shards, sharded):
    path = str(tmp_path / "db.mvmt")
    params = {} if num_shards is None else {"num_shards": num_shards}
    db = DBM()
    assert db.Open(path, True, **params).IsOK()
    db["k"] = "v"
    assert db.Close().IsOK()
    shard_files = sorted(p.name for p in tmp_path.iterdir() if "-of-" in p.name)
    if sharded:
        count = max(num_shards, 1)
        assert len(shard_files) == count
        assert shard_files[0] == f"db.mvmt-00000-of-{count:05d}"
    else:
        assert shard_files == []
        assert (tmp_path / "db.mvmt").exists()


def test_open_options_reach_the_engine(tmp_path):
    path = str(tmp_path / "db.mvmt")
    db = DBM()
    assert db.Open(path, True, no_create=True) == Status.NOT_FOUND_ERROR
    assert db.Open(path, True, no_create=False).IsOK()
    db["k"] = "v"
    db.Close()
    assert db.Open(path, True).IsOK()
    assert len(db) == 1
    db.Close()
    assert db.Open(path, True, truncate=True, no_lock="yes").IsOK()
    assert len(db) == 0
    db.Close()


def test_a_writer_lock_is_released_by_close_and_by_deallocation(tmp_path):
    path = str(tmp_path / "db.mvmt")
    writer = DBM()
    assert writer.Open(path, True).IsOK()
    writer["k"] = "v"
    other = DBM()
    assert other.Open(path, True, no_wait=True) == Status.INFEASIBLE_ERROR
    writer.Close()
    assert other.Open(path, True, no_wait=True).IsOK()
    other["k2"] = "v2"
    del other
    gc.collect()
    reader = DBM()
    assert reader.Open(path, True, no_wait=True).IsOK()
    assert (reader["k"], reader["k2"]) == ("v", "v2")
    reader.Close()


def test_repr_and_str_of_an_open_handle(tmp_path):
    db = DBM()
    path = str(tmp_path / "a\tb\u00e9.mvmb")
    assert db.Open(path, True).IsOK()
    escaped = str(tmp_path) + "/a\\tb\\xc3\\xa9.mvmb"
    assert str(db) == f"BabyDBM:{escaped}:0"
    db["x"] = "1"
    db["y"] = "2"
    assert repr(db) == f"<morvel.DBM: class=BabyDBM path={escaped} num_records=2>"
    db.Close()
    assert str(db) == "unknown:-:-1"


KIND_CLASSES = {"hash": "HashDBM", "tiny": "TinyDBM", "baby": "BabyDBM", "shard-tiny": "ShardDBM",
                "shard-baby": "ShardDBM", "tree": "TreeDBM"}


def test_text_forms_of_each_kind(anydb, db_kind):
    for i in range(3):
        anydb[f"k{i}"] = "v"
    class_name = KIND_CLASSES[db_kind]
    assert str(anydb).startswith(class_name + ":")
    assert str(anydb).endswith(":3")
    assert repr(anydb).startswith("<morvel.DBM: class=" + class_name + " path=")
    assert repr(anydb).endswith(" num_records=3>")


def test_subclass_of_dbm_works(tmp_path):
    class MyDBM(DBM):
        def Put(self, key, value):
            self[key] = value

    db = MyDBM()
    assert db.Open("", True).IsOK()
    db.Put("k", "v")
    assert db["k"] == "v"
    assert isinstance(db.MakeIterator(), morvel.Iterator)
    db.Close()


# What was made from a handle keeps working safely after Close or deletion:
# the engine answers PRECONDITION_ERROR and nothing crashes.
def check_iterator_of_a_closed_database(it):
    status = it.First()
    assert status == Status.PRECONDITION_ERROR
    receiver = Status()
    assert it.Get(receiver) is None
    assert receiver == Status.PRECONDITION_ERROR
    assert it.Step() is None
    assert it.Set("v") == Status.PRECONDITION_ERROR
    assert str(it) == "(unlocated)"
    with pytest.raises(morvel.StatusException) as info:
        next(it)
    assert info.value.GetStatus() == Status.PRECONDITION_ERROR


@pytest.mark.parametrize("kind", list(DB_KINDS))
@pytest.mark.parametrize("ending", ["close", "delete"])
def test_an_iterator_outlives_its_database(tmp_path, kind, ending):
    db = open_kind(tmp_path, kind)
    for i in range(10):
        db[f"k{i}"] = "v"
    made = [db.MakeIterator(), iter(db), morvel.Iterator(db)]
    made[0].First()
    assert made[0].Get() is not None
    if ending == "close":
        assert db.Close().IsOK()
    else:
        del db
        gc.collect()
    for it in made:
        check_iterator_of_a_closed_database(it)


def test_an_iterator_of_a_reopened_handle_stays_on_the_old_database(tmp_path):
    db = DBM()
    assert db.Open("", True).IsOK()
    db["old"] = "1"
    it = db.MakeIterator()
    db.Close()
    assert db.Open("", True).IsOK()
    db["new"] = "2"
    assert it.First() == Status.PRECONDITION_ERROR
    fresh = db.MakeIterator()
    fresh.First()
    assert fresh.GetKey() == b"new"
    db.Close()


@pytest.mark.parametrize("kind", ["tiny", "baby", "shard-tiny"])
def test_threads_reading_while_another_closes(tmp_path, kind):
    db = open_kind(tmp_path, kind, concurrent=True)
    for i in range(100):
        db[f"k{i}"] = f"v{i}"
    outcomes = set()
    lock = threading.Lock()
    start = threading.Barrier(5)

    def reader():
        start.wait()
        seen = set()
        for i in range(2000):
            key = f"k{i % 100}"
            try:
                value = db.Get(key)
                seen.add("value" if value == f"v{i % 100}".encode() else repr(value))
                seen.add("in" if key in db else "absent")
            except TypeError as e:
                assert str(e) == "invalid arguments: not opened database"
                seen.add("closed")
                break
            except morvel.StatusException as e:
                assert e.GetStatus() == Status.PRECONDITION_ERROR
                seen.add("precondition")
        with lock:
            outcomes.update(seen)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for t in threads:
        t.start()
    start.wait()
    status = db.Close()
    for t in threads:
        t.join()
    assert status.IsOK()
    assert outcomes <= {"value", "None", "in", "absent", "closed", "precondition"}
    assert not db.IsOpen()


def test_a_handle_being_opened_is_not_open_to_other_threads(tmp_path):
    path = str(tmp_path / "db.mvmb")
    db = DBM()
    assert db.Open(path, True).IsOK()
    for i in range(20000):
        db[f"k{i}"] = "v"
    db.Close()
    for _ in range(3):
        seen = set()
        done = threading.Event()

        def watcher():
            while not done.is_set():
                try:
                    seen.add(("writable", db.IsWritable()))
                    seen.add(("count", len(db)))
                except TypeError as e:
                    seen.add(str(e))

        thread = threading.Thread(target=watcher)
        thread.start()
        # The engine open runs with the interpreter lock released; meanwhile
        # the handle is either not open yet or open with all its records.
        assert db.Open(path, True, concurrent=True).IsOK()
        done.set()
        thread.join()
        assert seen <= {"invalid arguments: not opened database", ("writable", True),
                        ("count", 20000)}
        db.Close()


def test_concurrent_close_from_many_threads_closes_once(tmp_path):
    for _ in range(20):
        db = open_kind(tmp_path, "tiny", concurrent=True)
        results = []
        start = threading.Barrier(4)

        def closer():
            start.wait()
            try:
                results.append(db.Close().GetCode())
            except TypeError:
                results.append("closed")

        threads = [threading.Thread(target=closer) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(results, key=str) == [0, "closed", "closed", "closed"]


# While a callable of a callback method runs, other calls on its database fail
# at once instead of waiting on the lock its caller holds.
def busy_outcomes(db):
    it = db.MakeIterator()
    it.First()
    seen = {}

    def callback(key, value):
        seen["close"] = db.Close()
        with pytest.raises(morvel.StatusException) as info:
            db.MakeIterator()
        seen["MakeIterator"] = info.value.GetStatus()
        with pytest.raises(morvel.StatusException) as info:
            morvel.Iterator(db)
        seen["Iterator"] = info.value.GetStatus()
        seen["IsOpen"] = db.IsOpen()
        return None

    assert db.Process("k", callback, False).IsOK()
    return seen


def test_lifecycle_calls_inside_a_callback_are_refused(anydb):
    anydb["k"] = "v"
    seen = busy_outcomes(anydb)
    for name in ("close", "MakeIterator", "Iterator"):
        assert seen[name] == Status.PRECONDITION_ERROR, name
        assert seen[name].GetMessage() == "the database is busy in a callback"
    assert seen["IsOpen"] is True
    # The handle is still open and usable once the callback has returned.
    assert anydb.IsOpen() and anydb.IsWritable()
    assert anydb["k"] == "v" and len(anydb) == 1


@pytest.mark.parametrize("kind", ["hash", "tree", "shard-tiny"])
def test_with_closes_the_database_and_releases_its_file(tmp_path, kind):
    rel_path, params = DB_KINDS[kind]
    path = str(tmp_path / rel_path)
    with DBM() as db:
        assert db.Open(path, True, **params).IsOK()
        db["k"] = "v"
    assert not db.IsOpen()
    # Reopening takes the file lock again: the with block gave it back.
    with DBM() as again:
        assert again.Open(path, False, no_wait=True, **params).IsOK()
        assert again["k"] == "v"


def test_with_returns_the_handle_itself():
    db = DBM()
    with db as entered:
        assert entered is db


def test_with_closes_on_an_exception_and_lets_it_propagate(tmp_path):
    path = str(tmp_path / "casket.mvh")
    db = DBM()
    with pytest.raises(ZeroDivisionError):
        with db:
            assert db.Open(path, True).IsOK()
            1 / 0
    assert not db.IsOpen()
    assert db.Open(path, True, no_wait=True).IsOK()
    db.Close()


@pytest.mark.parametrize("before", ["never opened", "closed in the block"])
def test_with_on_a_closed_handle_exits_quietly(tinydb, before):
    db = DBM() if before == "never opened" else tinydb
    with db:
        if before == "closed in the block":
            assert db.Close().IsOK()
    assert not db.IsOpen()


def test_exit_raises_a_close_failure_unless_an_exception_propagates(tinydb):
    tinydb["a"] = "1"
    outcomes = []

    def callable(key, value):
        # The database is busy while the callable runs, so closing fails.
        with pytest.raises(morvel.StatusException) as info:
            tinydb.__exit__(None, None, None)
        outcomes.append(info.value.GetStatus())
        outcomes.append(tinydb.__exit__(KeyError, KeyError("a"), None))
        return None

    assert tinydb.Process("a", callable, False).IsOK()
    assert outcomes[0] == Status.PRECONDITION_ERROR and outcomes[0].GetMessage() != ""
    assert outcomes[1] is False
    assert tinydb.IsOpen() and tinydb["a"] == "1"
