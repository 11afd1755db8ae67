"""AsyncDBM: construction, argument checks, the effect of every method, transfers,
destruction under pending work and a DBM closed under pending work."""

import pytest

import morvel

AsyncDBM = morvel.AsyncDBM
Status = morvel.Status
ANY = morvel.DBM.ANY_DATA


def invalid(word):
    return pytest.raises(TypeError, match="^invalid arguments: " + word + "$")


@pytest.fixture(params=[False, True], ids=["plain", "concurrent"])
def concurrent(request):
    return request.param


@pytest.fixture
def db(make_db, concurrent):
    return make_db("baby", concurrent=concurrent)


@pytest.fixture
def adbm(db):
    adapter = AsyncDBM(db, 2)
    yield adapter
    adapter.Destruct()


def hold_worker(db, adapter, key, body):
    """Runs |body| inside a callback on |key| of |db| after handing |adapter|'s
    single worker a Set of |key|, which waits for the callback's record lock, so
    that whatever |body| hands over stays queued until the callback returns."""
    blocker = []

    def callable_(k, v):
        blocker.append(adapter.Set(key, "held"))
        body()
        return None

    assert db.Process(key, callable_, True) == Status.SUCCESS
    assert blocker[0].Get() == Status.SUCCESS


def test_construction_and_text_forms(db):
    adapter = AsyncDBM(db, 4)
    text = repr(adapter)
    assert text.startswith("<morvel.AsyncDBM: 0x") and text.endswith(">")
    assert str(adapter) == "AsyncDBM:" + text[len("<morvel.AsyncDBM: "):-1]
    assert adapter.Destruct() is None
    assert repr(adapter) == "<morvel.AsyncDBM: (nil)>"
    assert str(adapter) == "AsyncDBM:(nil)"


@pytest.mark.parametrize("args, word", [
    ((), "too few arguments"),
    (("db",), "too few arguments"),
    (("db", 1, 2), "too many arguments"),
    ((1, 4), "the argument is not a DBM"),
    (("closed", 4), "not opened database"),
])
def test_construction_errors(db, args, word):
    args = tuple(morvel.DBM() if a == "closed" else db if a == "db" else a for a in args)
    with invalid(word):
        AsyncDBM(*args)


@pytest.mark.parametrize("workers", [0, -3, "2", 1.9, None])
def test_worker_counts_are_numbers(db, workers):
    adapter = AsyncDBM(db, workers)
    assert adapter.Set("a", "b").Get() == Status.SUCCESS


def test_destruct_and_reinit(make_db, db):
    adapter = AsyncDBM(db, 1)
    adapter.Destruct()
    for call in (adapter.Destruct, lambda: adapter.Get(), lambda: adapter.Get("k", 2, 3),
                 adapter.Clear, lambda: adapter.Rebuild(1)):
        with invalid("destructed object"):
            call()
    with invalid("destructed object"):
        AsyncDBM.__new__(AsyncDBM).Set("a", "b")
    # A failed re-initialisation leaves the object as it was.
    with invalid("not opened database"):
        adapter.__init__(morvel.DBM(), 1)
    with invalid("destructed object"):
        adapter.Clear()
    adapter.__init__(db, 2)
    assert adapter.Set("a", "1").Get() == Status.SUCCESS
    # Re-initialising an active object replaces its adapter and its database.
    other = make_db("tiny")
    old_text = repr(adapter)
    adapter.__init__(other, 1)
    assert repr(adapter) != old_text
    assert adapter.Set("b", "2").Get() == Status.SUCCESS
    assert other.Get("b") == b"2" and db.Get("b") is None


@pytest.mark.parametrize("name, args, word", [
    ("Get", (), "too few"), ("Get", (1, 2), "too many"),
    ("GetStr", (), "too few"), ("Remove", (1, 2), "too many"),
    ("Export", (), "too few"), ("ExportToFlatRecords", (1, 2), "too many"),
    ("ImportFromFlatRecords", (), "too few"), ("Synchronize", (), "too few"),
    ("Synchronize", (True, 1), "too many"),
    ("Set", ("k",), "too few"), ("Set", ("k", "v", True, 1), "too many"),
    ("Append", ("k",), "too few"), ("Append", ("k", "v", ",", 1), "too many"),
    ("Search", ("begin",), "too few"), ("Search", ("begin", "k", 1, 2), "too many"),
    ("CompareExchange", ("k", None), "too few"),
    ("CompareExchange", ("k", None, "v", 1), "too many"),
    ("CompareExchangeMulti", ([],), "too few"),
    ("CompareExchangeMulti", ([], [], []), "too many"),
    ("Increment", (), "too few"), ("Increment", ("k", 1, 2, 3), "too many"),
    ("Rekey", ("k",), "too few"), ("Rekey", ("a", "b", True, False, 1), "too many"),
    ("PushLast", (), "too few"), ("PushLast", ("v", 1.0, 2), "too many"),
    ("CopyFileData", (), "too few"), ("CopyFileData", ("p", True, 1), "too many"),
    ("SetMulti", (True, False), "too many"), ("AppendMulti", (",", 1), "too many"),
    ("Rebuild", (1,), "too many"),
])
def test_argument_counts(adbm, name, args, word):
    with invalid(word + " arguments"):
        getattr(adbm, name)(*args)


@pytest.mark.parametrize("name", ["Destruct", "PopFirst", "PopFirstStr", "Clear"])
def test_methods_without_arguments(adbm, name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(adbm, name)(1)


def test_argument_errors_hand_nothing_over(db, adbm):
    class Bad:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError):
        adbm.Set("k", "v", Bad())
    with pytest.raises(ValueError):
        adbm.Rekey("a", "b", True, Bad())
    with pytest.raises(OverflowError):
        adbm.Increment("n", 1 << 70)
    with invalid("parameters must be sequences of strings"):
        adbm.CompareExchangeMulti([("k", None)], 5)
    with invalid("parameters must be sequences of strings"):
        adbm.CompareExchangeMulti(None, [])
    assert db.Count() == 0


def test_record_methods(db, adbm):
    assert adbm.Set("k", "v").Get() == Status.SUCCESS
    assert db.Get("k") == b"v"
    assert adbm.Set("k", "w", False).Get() == Status.DUPLICATION_ERROR
    assert adbm.Append("k", "x", ",").Get() == Status.SUCCESS
    assert adbm.Append("k", "y").Get() == Status.SUCCESS
    assert db.Get("k") == b"v,xy"
    assert adbm.Rekey("k", "j").Get() == Status.SUCCESS
    assert adbm.Rekey("j", "i", True, True).Get() == Status.SUCCESS
    assert db.GetMulti("i", "j", "k") == {b"i": b"v,xy", b"j": b"v,xy"}
    assert adbm.Rekey("i", "j", False).Get() == Status.DUPLICATION_ERROR
    assert adbm.Remove("i").Get() == Status.SUCCESS
    assert adbm.Remove("i").Get() == Status.NOT_FOUND_ERROR
    assert adbm.Increment("n").Get() == (Status.SUCCESS, 1)
    assert adbm.Increment("n", "10", 99).Get() == (Status.SUCCESS, 11)
    assert adbm.PushLast("queued", 2.0).Get() == Status.SUCCESS
    assert db.Get(morvel.Utility.SerializeInt(200000000)) == b"queued"
    assert adbm.Clear().Get() == Status.SUCCESS
    assert db.Count() == 0


def test_multi_methods(db, adbm):
    assert adbm.SetMulti(a="1", b="2").Get() == Status.SUCCESS
    assert adbm.SetMulti(False, a="9").Get() == Status.DUPLICATION_ERROR
    assert adbm.SetMulti().Get() == Status.SUCCESS
    assert db.GetMulti("a", "b") == {b"a": b"1", b"b": b"2"}
    assert adbm.AppendMulti(",", a="x", c="y").Get() == Status.SUCCESS
    assert adbm.AppendMulti(a="z").Get() == Status.SUCCESS
    assert db.GetMulti("a", "c") == {b"a": b"1,xz", b"c": b"y"}
    assert adbm.GetMulti().Get() == (Status.SUCCESS, {})
    assert adbm.GetMulti("a", "a").Get() == (Status.SUCCESS, {b"a": b"1,xz"})
    assert adbm.RemoveMulti("a", "c").Get() == Status.SUCCESS
    assert adbm.RemoveMulti("a").Get() == Status.NOT_FOUND_ERROR
    assert db.Count() == 1


@pytest.mark.parametrize("present, expected, desired, code, after", [
    (False, None, "v1", Status.SUCCESS, b"v1"),
    (True, None, "v2", Status.INFEASIBLE_ERROR, b"v0"),
    (True, "v0", "v2", Status.SUCCESS, b"v2"),
    (True, "vX", "v2", Status.INFEASIBLE_ERROR, b"v0"),
    (True, ANY, "v3", Status.SUCCESS, b"v3"),
    (True, ANY, None, Status.SUCCESS, None),
    (False, ANY, "v3", Status.INFEASIBLE_ERROR, None),
    # Bytes equal to ANY_DATA but not the object itself are plain data.
    (True, bytes(bytearray(ANY)), "v4", Status.INFEASIBLE_ERROR, b"v0"),
])
def test_compare_exchange_selectors(db, adbm, present, expected, desired, code, after):
    if present:
        db.Set("k", "v0")
    result = adbm.CompareExchange("k", expected, desired).Get()
    assert type(result) is Status
    assert result == code
    assert db.Get("k") == after


def test_compare_exchange_multi(db, adbm):
    db.Set("a", "1")
    assert adbm.CompareExchangeMulti([("a", "2")], [("a", "3")]).Get() == \
        Status.INFEASIBLE_ERROR
    assert db.Get("a") == b"1"
    # Elements that are not pairs are skipped.
    expected = [("a", ANY), ("b", None), 5, ("c",)]
    desired = [("a", None), ("b", "2"), 7]
    assert adbm.CompareExchangeMulti(expected, desired).Get() == Status.SUCCESS
    assert db.GetMulti("a", "b") == {b"b": b"2"}


def test_pop_first_and_search(db, adbm):
    db.SetMulti(b="2", a="1", c="3")
    assert adbm.PopFirst().Get() == (Status.SUCCESS, b"a", b"1")
    assert adbm.PopFirstStr().Get() == (Status.SUCCESS, "b", "2")
    assert adbm.Search("upper", "b").Get() == (Status.SUCCESS, ("c",))
    assert adbm.Search("contain", "", 0).Get() == (Status.SUCCESS, ("c",))
    assert adbm.Search("contain", "", -1).Get() == (Status.SUCCESS, ("c",))
    # The synchronous Search raises; here the failure is the status.
    status, keys = adbm.Search("regex", "(").Get()
    assert status == Status.INVALID_ARGUMENT_ERROR and keys == ()
    assert adbm.Clear().Get() == Status.SUCCESS
    status, key, value = adbm.PopFirst().Get()
    assert status == Status.NOT_FOUND_ERROR


def test_maintenance(tmp_path, make_db):
    db = make_db("tiny")
    adapter = AsyncDBM(db, 2)
    db.SetMulti(a="1", b="2")
    assert adapter.Rebuild().Get() == Status.SUCCESS
    assert adapter.Rebuild(num_buckets=31).Get() == Status.SUCCESS
    assert db.GetMulti("a", "b") == {b"a": b"1", b"b": b"2"}
    assert adapter.Synchronize(False).Get() == Status.SUCCESS
    path = str(tmp_path / "copy.mvmt")
    source = morvel.DBM()
    assert source.Open(str(tmp_path / "src.mvmt"), True) == Status.SUCCESS
    source.Set("x", "y")
    file_adapter = AsyncDBM(source, 1)
    assert file_adapter.Synchronize(True).Get() == Status.SUCCESS
    assert file_adapter.CopyFileData(path, True).Get() == Status.SUCCESS
    file_adapter.Destruct()
    source.Close()
    copy = morvel.DBM()
    assert copy.Open(path, False) == Status.SUCCESS
    assert copy.Get("x") == b"y"
    copy.Close()


def test_export_and_flat_records(tmp_path, make_db, db, adbm):
    db.SetMulti(a="1", b="2")
    dest = make_db("tiny")
    assert adbm.Export(dest).Get() == Status.SUCCESS
    assert dest.GetMulti("a", "b") == {b"a": b"1", b"b": b"2"}
    flat = morvel.File()
    assert flat.Open(str(tmp_path / "flat"), True) == Status.SUCCESS
    assert adbm.ExportToFlatRecords(flat).Get() == Status.SUCCESS
    other = make_db("baby")
    other_adapter = AsyncDBM(other, 1)
    assert other_adapter.ImportFromFlatRecords(flat).Get() == Status.SUCCESS
    assert other.GetMulti("a", "b") == {b"a": b"1", b"b": b"2"}
    flat.Close()


@pytest.mark.parametrize("name, arg, word", [
    ("Export", 1, "the argument is not a DBM"),
    ("Export", "closed-dbm", "not opened database"),
    ("ExportToFlatRecords", "dbm", "the argument is not a File"),
    ("ExportToFlatRecords", "closed-file", "not opened file"),
    ("ImportFromFlatRecords", None, "the argument is not a File"),
    ("ImportFromFlatRecords", "closed-file", "not opened file"),
])
def test_transfer_argument_errors(db, adbm, name, arg, word):
    arg = {"closed-dbm": morvel.DBM(), "closed-file": morvel.File(), "dbm": db}.get(arg, arg)
    with invalid(word):
        getattr(adbm, name)(arg)


def test_destination_closed_and_dropped_under_a_pending_transfer(tmp_path, make_db):
    db = make_db("tiny")
    db.Set("a", "1")
    adapter = AsyncDBM(db, 1)
    dest = make_db("tiny")
    flat = morvel.File()
    assert flat.Open(str(tmp_path / "flat"), True) == Status.SUCCESS
    futures = []

    def body():
        futures.append(adapter.Export(dest))
        futures.append(adapter.ExportToFlatRecords(flat))
        dest.Close()
        flat.Close()

    hold_worker(db, adapter, "k", body)
    del dest, flat
    assert [f.Get() for f in futures] == [Status.PRECONDITION_ERROR] * 2


@pytest.mark.parametrize("drop", ["close", "delete"])
def test_dbm_closed_under_pending_operations(tmp_path, drop, concurrent):
    path = str(tmp_path / "closing.mvmt")
    db = morvel.DBM()
    assert db.Open(path, True, concurrent=concurrent) == Status.SUCCESS
    adapter = AsyncDBM(db, 2)
    futures = [adapter.Set(f"key{i}", "v") for i in range(20000)]
    if drop == "close":
        assert db.Close() == Status.SUCCESS
    else:
        del db
    codes = [f.Get().GetCode() for f in futures]
    assert set(codes) <= {Status.SUCCESS, Status.PRECONDITION_ERROR}
    assert adapter.Get("key0").Get()[0] == Status.PRECONDITION_ERROR
    adapter.Destruct()
    # Exactly the operations that reported success reached the file.
    reopened = morvel.DBM()
    assert reopened.Open(path, False) == Status.SUCCESS
    assert reopened.Count() == codes.count(Status.SUCCESS)
    reopened.Close()


def test_destruct_with_thousands_pending(db, concurrent):
    adapter = AsyncDBM(db, 3)
    futures = [adapter.Set(f"key{i}", i) for i in range(20000)]
    futures += [adapter.Increment("counter") for _ in range(1000)]
    adapter.Destruct()
    # Destruction ran everything that was queued.
    assert all(f.Wait(0) for f in futures)
    assert all(f.Get() == Status.SUCCESS for f in futures[:20000])
    assert db.Count() == 20001
    assert db.Get("key19999") == b"19999"


def test_dropping_the_adapter_finishes_pending_work(db):
    adapter = AsyncDBM(db, 2)
    futures = [adapter.Set(f"key{i}", "v") for i in range(5000)]
    del adapter
    assert all(f.Wait(0) for f in futures)
    assert db.Count() == 5000


def test_one_worker_keeps_the_order_of_handing_over(db):
    adapter = AsyncDBM(db, 1)
    futures = [adapter.Append("log", str(i), ",") for i in range(500)]
    assert adapter.Get("log").Get() == (
        Status.SUCCESS, ",".join(str(i) for i in range(500)).encode())
    assert all(f.Get() == Status.SUCCESS for f in futures)


def test_several_adapters_and_direct_use_together(db):
    adapters = [AsyncDBM(db, 2) for _ in range(3)]
    futures = [a.Increment("n", 1) for _ in range(300) for a in adapters]
    for i in range(300):
        db.Increment("n", 1)
    assert all(f.Get()[0] == Status.SUCCESS for f in futures)
    assert db.Increment("n", 0) == 1200
