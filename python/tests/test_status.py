"""Status and StatusException."""

import concurrent.futures
import copy
import gc
import multiprocessing
import pickle
import weakref

import pytest

import morvel
from child_process import run_child

Status = morvel.Status
StatusException = morvel.StatusException


def invalid(word):
    return pytest.raises(TypeError, match="^invalid arguments: " + word + "$")


# Constructor arguments, and the code, message and printed form they give.
INIT_CASES = [
    ((), 0, "", "SUCCESS"),
    ((7, "x"), 7, "x", "NOT_FOUND_ERROR: x"),
    ((1, None), 1, "", "UNKNOWN_ERROR: "),
    ((1,), 1, "", "UNKNOWN_ERROR"),
    ((1, b""), 1, "", "UNKNOWN_ERROR: "),
    ((99,), 99, "", "unnamed error"),
    ((-1, "m"), -1, "m", "unnamed error: m"),
    ((2**32 + 5,), 5, "", "INVALID_ARGUMENT_ERROR"),
    ((3, "\u00e9"), 3, "\u00e9", "NOT_IMPLEMENTED_ERROR: \u00e9"),
    ((13, b"a\x00b"), 13, "a", "APPLICATION_ERROR: a"),
    ((2, 42), 2, "42", "SYSTEM_ERROR: 42"),
]


@pytest.mark.parametrize("args, code, message, text", INIT_CASES)
def test_init_and_set(args, code, message, text):
    for status in (Status(*args), Status(5, "old")):
        if status.GetCode() == 5:
            assert status.Set(*args) is None
        assert status.GetCode() == code
        assert status.GetMessage() == message
        assert status.IsOK() == (code == 0)
        assert str(status) == text
        assert repr(status) == "<morvel.Status: " + text + ">"


@pytest.mark.parametrize("call", [lambda: Status(1, 2, 3),
                                  lambda: Status().Set(1, 2, 3)])
def test_init_and_set_take_at_most_two_arguments(call):
    with invalid("too many arguments"):
        call()


@pytest.mark.parametrize("code, error", [("7", TypeError), (1.5, TypeError),
                                         (2**64, OverflowError)])
def test_a_code_that_is_not_an_int_raises_and_changes_nothing(code, error):
    status = Status(4, "kept")
    with pytest.raises(error):
        status.Set(code, "new")
    assert (status.GetCode(), status.GetMessage()) == (4, "kept")
    with pytest.raises(error):
        Status(code)
    with pytest.raises(error):
        Status.CodeName(code)


def test_get_message_is_strict_utf8():
    status = Status(1, b"\xff")
    with pytest.raises(UnicodeDecodeError):
        status.GetMessage()
    assert str(status) == "UNKNOWN_ERROR: \ufffd"


def test_join_keeps_the_first_failure():
    status = Status()
    status.Join(Status())
    assert status.IsOK()
    status.Join(Status(7, "a"))
    status.Join(Status(9, "b"))
    assert (status.GetCode(), status.GetMessage()) == (7, "a")
    status.Join(status)
    assert str(status) == "NOT_FOUND_ERROR: a"
    fresh = Status()
    fresh.Join(Status(3))
    assert str(fresh) == "NOT_IMPLEMENTED_ERROR"


def test_join_of_a_failure_without_message_clears_the_message():
    status = Status(0, "note")
    status.Join(Status(2))
    assert str(status) == "SYSTEM_ERROR"


@pytest.mark.parametrize("args, word", [((), "too few arguments"),
                                        ((Status(), Status()), "too many arguments"),
                                        ((0,), "the argument is not a Status")])
def test_join_argument_errors(args, word):
    with invalid(word):
        Status().Join(*args)


def test_join_accepts_a_subclass():
    class MyStatus(Status):
        pass
    status = Status()
    status.Join(MyStatus(6, "sub"))
    assert str(status) == "CANCELED_ERROR: sub"


def test_code_name():
    assert Status.CodeName(13) == "APPLICATION_ERROR"
    assert Status.CodeName(14) == "unnamed error"
    assert Status.CodeName(-1) == "unnamed error"
    assert Status().CodeName(0) == "SUCCESS"
    with invalid("too few arguments"):
        Status.CodeName()


COMPARISONS = [
    (Status(), 0, "==", True),
    (Status(7), Status.NOT_FOUND_ERROR, "==", True),
    (Status(7, "a"), Status(7, "b"), "==", True),
    (Status(3), Status(4), "<", True),
    (Status(3), Status(4), ">=", False),
    (Status(5), 5, "<=", True),
    (Status(5), 4, ">", True),
    (Status(), "x", "!=", True),
    (Status(), "x", "<", True),
    (Status(), None, "==", False),
    (Status(1), True, "==", True),
    (Status(0), 2**32, "==", True),
]


@pytest.mark.parametrize("lhs, rhs, op, result", COMPARISONS)
def test_comparisons_look_at_codes(lhs, rhs, op, result):
    ops = {"==": lambda a, b: a == b, "!=": lambda a, b: a != b,
           "<": lambda a, b: a < b, "<=": lambda a, b: a <= b,
           ">": lambda a, b: a > b, ">=": lambda a, b: a >= b}
    assert ops[op](lhs, rhs) is result


def test_comparison_with_an_int_beyond_64_bits_raises():
    with pytest.raises(OverflowError):
        Status() == 2**70


def test_or_die():
    assert Status().OrDie() is None
    original = Status(5, "bad")
    with pytest.raises(StatusException) as info:
        original.OrDie()
    carried = info.value.GetStatus()
    assert carried == 5 and carried.GetMessage() == "bad"
    assert carried is not original
    carried.Set(0)
    assert original.GetCode() == 5


def test_exception_raised_by_the_module():
    with pytest.raises(RuntimeError) as info:
        Status(7).OrDie()
    e = info.value
    assert isinstance(e, StatusException)
    assert e.GetStatus().GetCode() == 7
    assert str(e) == "NOT_FOUND_ERROR"
    assert repr(e) == "<morvel.StatusException: NOT_FOUND_ERROR>"
    assert e.GetStatus() is e.GetStatus()


def test_exception_raised_from_python():
    with pytest.raises(RuntimeError) as info:
        raise StatusException(Status(1, "x"))
    assert str(info.value) == "UNKNOWN_ERROR: x"
    assert info.value.args == (info.value.GetStatus(),)


def test_exception_carries_the_status_itself():
    status = Status(1)
    e = StatusException(status)
    assert e.GetStatus() is status
    status.Set(9, "later")
    assert str(e) == "INFEASIBLE_ERROR: later"
    e.__init__(Status(2))
    assert e.GetStatus() == 2
    assert e.args == (e.GetStatus(),)


@pytest.mark.parametrize("args, word", [((), "too few arguments"),
                                        ((Status(), Status()), "too many arguments"),
                                        ((0,), "the argument is not a status"),
                                        (("text",), "the argument is not a status")])
def test_exception_init_errors(args, word):
    with invalid(word):
        StatusException(*args)


def test_exception_without_init_carries_nothing():
    e = StatusException.__new__(StatusException)
    assert e.GetStatus() is None
    assert str(e) == ""
    assert repr(e) == "<morvel.StatusException: >"


def test_exception_releases_its_traceback():
    class Marker:
        pass

    def fail():
        marker = Marker()
        Status(4).OrDie()
        return marker

    try:
        fail()
    except StatusException as e:
        frame_local = weakref.ref(e.__traceback__.tb_next.tb_frame.f_locals["marker"])
    gc.collect()
    assert frame_local() is None


def test_freed_status_objects_never_show_in_new_ones(tmp_path):
    """Freed Status objects are reused: every new one still starts as success
    without a message, each call gives its own object, and subclass instances
    stay apart."""

    class Tagged(Status):
        pass

    db = morvel.DBM()
    assert db.Open(str(tmp_path / "reuse.mvh"), True, truncate=True).IsOK()
    try:
        for _ in range(3):
            failures = [db.Set("k", "v", False) for _ in range(300)]
            failures += [Status(7, "old message") for _ in range(300)]
            tagged = [Tagged(3, "t") for _ in range(300)]
            for obj in tagged:
                obj.tag = 1
            del failures, tagged
            fresh = [Status.__new__(Status) for _ in range(100)]
            fresh += [Status() for _ in range(100)]
            fresh += [db.Set(str(i), "v") for i in range(300)]
            assert len({id(obj) for obj in fresh}) == len(fresh)
            for obj in fresh:
                assert type(obj) is Status
                assert (obj.GetCode(), obj.GetMessage(), str(obj)) == (0, "", "SUCCESS")
            renewed = [Tagged() for _ in range(300)]
            for obj in renewed:
                assert type(obj) is Tagged
                assert not hasattr(obj, "tag")
                assert (obj.GetCode(), obj.GetMessage()) == (0, "")
    finally:
        db.Close()


# What the base exception's own code gives for an exception the module raised,
# each run in a child process: with the base fields left empty, every one of
# them killed the interpreter.
BASE_EXCEPTION_CALLS = [
    ("copy.copy(e)", "<morvel.StatusException: NOT_FOUND_ERROR: gone>"),
    ("copy.deepcopy(e)", "<morvel.StatusException: NOT_FOUND_ERROR: gone>"),
    ("pickle.loads(pickle.dumps(e))", "<morvel.StatusException: NOT_FOUND_ERROR: gone>"),
    ("e.__reduce__()",
     "(<class 'morvel.StatusException'>, (<morvel.Status: NOT_FOUND_ERROR: gone>,))"),
    ("BaseException.__str__(e)", "'NOT_FOUND_ERROR: gone'"),
    ("BaseException.__repr__(e)", "'StatusException(<morvel.Status: NOT_FOUND_ERROR: gone>)'"),
]


@pytest.mark.parametrize("expr, printed", BASE_EXCEPTION_CALLS)
def test_base_exception_code_works_on_a_raised_exception(expr, printed):
    child = run_child(f"""
        import copy, pickle, morvel
        try:
            morvel.Status(7, "gone").OrDie()
        except morvel.StatusException as caught:
            e = caught
        print(repr({expr}))
    """)
    assert (child.returncode, child.stdout, child.stderr) == (0, printed + "\n", "")


# Status values whose code and message (absent, empty or not) must survive.
STATUS_VALUES = [(), (7, "x"), (1, None), (1,), (3, "\u00e9"), (13, b"\xff\xfe")]


@pytest.mark.parametrize("args", STATUS_VALUES)
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy,
                                       lambda obj: pickle.loads(pickle.dumps(obj))])
def test_status_and_exception_copy_and_pickle(args, duplicate):
    original = Status(*args)
    twin = duplicate(original)
    assert type(twin) is Status and twin is not original
    assert (twin.GetCode(), str(twin)) == (original.GetCode(), str(original))
    e = StatusException(Status(*args))
    e.note = "kept"
    e_twin = duplicate(e)
    assert type(e_twin) is StatusException
    assert (str(e_twin), repr(e_twin)) == (str(e), repr(e))
    assert e_twin.GetStatus().GetCode() == original.GetCode()
    assert e_twin.args == (e_twin.GetStatus(),)
    assert e_twin.note == "kept"


def test_exception_of_a_worker_process_comes_back():
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        future = pool.submit(Status(9, "from the worker").OrDie)
        with pytest.raises(StatusException) as info:
            future.result()
    assert str(info.value) == "INFEASIBLE_ERROR: from the worker"


# Ways in which releasing the carried Status runs a garbage collection while
# the exception is being freed; before the exception was untracked first, the
# collector freed it a second time.
COLLECTING_RELEASES = {
    "__del__": """
        class Carried(morvel.Status):
            def __del__(self):
                gc.collect()
        def make():
            return morvel.StatusException(Carried(5))
    """,
    "weakref callback": """
        keep = []
        def make():
            status = morvel.Status.__new__(type("Carried", (morvel.Status,), {}))
            keep.append(weakref.ref(status, lambda ref: gc.collect()))
            return morvel.StatusException(status)
    """,
}


@pytest.mark.parametrize("setup", COLLECTING_RELEASES.values(), ids=list(COLLECTING_RELEASES))
def test_freeing_an_exception_whose_status_collects_garbage(setup):
    child = run_child("""
        import gc, textwrap, weakref, morvel
        exec(textwrap.dedent(%r))
        for _ in range(200):
            e = make()
            del e
        print("freed")
    """ % setup)
    assert (child.returncode, child.stdout, child.stderr) == (0, "freed\n", "")


def test_a_cycle_through_the_carried_status_is_collected():
    class Holder(Status):
        pass

    refs = []
    for _ in range(100):
        status = Holder(5)
        status.exception = StatusException(status)
        refs.append(weakref.ref(status))
    del status
    gc.collect()
    assert [ref for ref in refs if ref() is not None] == []
