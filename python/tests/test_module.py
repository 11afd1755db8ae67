"""The module frame: the classes and their constants, and how arguments are
converted to bytes and numbers."""

import gc
import os
import sys
import weakref

import pytest

import morvel

CLASSES = [
    ("Utility", "Library utilities."),
    ("Status", "Status of operations."),
    ("StatusException", "Exception to convey the status of operations."),
    ("Future", "Future to monitor the result of asynchronous operations."),
    ("DBM", "Polymorphic database manager."),
    ("Iterator", "Iterator for each record."),
    ("AsyncDBM", "Polymorphic database manager."),
    ("File", "Generic file implemenation."),
    ("Index", "Secondary index."),
    ("IndexIterator", "Iterator for each record of the secondary index."),
]


def test_module_exposes_exactly_the_ten_classes():
    public = {name for name in vars(morvel) if not name.startswith("__")}
    assert public == {name for name, _ in CLASSES}
    assert morvel.__doc__ == "a set of implementations of DBM"
    assert not any(callable(v) and not isinstance(v, type) for v in vars(morvel).values())


def exported_functions(path):
    """The names of the functions an ELF64 shared object exports by default
    visibility with global binding (weak template copies left out)."""
    with open(path, "rb") as f:
        image = f.read()
    if image[:4] != b"\x7fELF" or image[4] != 2 or image[5] != 1:
        pytest.skip("not a little-endian ELF64 object")
    shoff = int.from_bytes(image[0x28:0x30], "little")
    shentsize = int.from_bytes(image[0x3A:0x3C], "little")
    shnum = int.from_bytes(image[0x3C:0x3E], "little")
    sections = []
    for i in range(shnum):
        base = shoff + i * shentsize
        sh_type = int.from_bytes(image[base + 4:base + 8], "little")
        sh_offset = int.from_bytes(image[base + 24:base + 32], "little")
        sh_size = int.from_bytes(image[base + 32:base + 40], "little")
        sh_link = int.from_bytes(image[base + 40:base + 44], "little")
        sections.append((sh_type, sh_offset, sh_size, sh_link))
    names = set()
    for sh_type, offset, size, link in sections:
        if sh_type != 11:  # the dynamic symbol table
            continue
        strtab = sections[link][1]
        for base in range(offset, offset + size, 24):
            info, other = image[base + 4], image[base + 5]
            shndx = int.from_bytes(image[base + 6:base + 8], "little")
            if info >> 4 != 1 or info & 0xF != 2 or other & 3 != 0 or shndx == 0:
                continue
            start = strtab + int.from_bytes(image[base:base + 4], "little")
            names.add(image[start:image.index(b"\0", start)].decode())
    return names


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads an ELF object")
def test_module_exports_only_its_entry_point_and_two_helpers():
    exported = exported_functions(morvel.__file__)
    public = ("PyInit_morvel", "PyUnicodeToUCS4", "ExtractKFPairs")
    assert all(any(name in symbol for symbol in exported) for name in public)
    assert [s for s in exported if not any(name in s for name in public)] == []


@pytest.mark.parametrize("name, doc", CLASSES)
def test_class_identity_and_subclassing(name, doc):
    cls = getattr(morvel, name)
    assert cls.__module__ == "morvel"
    assert cls.__name__ == name
    assert cls.__doc__ == doc
    sub = type("Sub" + name, (cls,), {})
    assert issubclass(sub, cls)


def test_subclass_instances_work_and_are_freed():
    class MyStatus(morvel.Status):
        pass

    class MyException(morvel.StatusException):
        pass

    class MyDBM(morvel.DBM):
        pass

    class MyIterator(morvel.Iterator):
        pass

    status = MyStatus(7, "x")
    assert str(status) == "NOT_FOUND_ERROR: x"
    with pytest.raises(MyException) as info:
        raise MyException(status)
    assert info.value.GetStatus() is status
    db = MyDBM()
    assert db.Open("", True).IsOK()
    db["k"] = "v"
    it = MyIterator(db)
    it.First()
    assert it.Get() == (b"k", b"v")
    refs = [weakref.ref(obj) for obj in (info.value, db, it)]
    del info, db, it
    gc.collect()
    assert [ref() for ref in refs] == [None, None, None]


def test_utility_cannot_be_instantiated():
    with pytest.raises(TypeError):
        morvel.Utility()


def test_status_is_unhashable():
    with pytest.raises(TypeError):
        hash(morvel.Status())


def test_status_exception_is_a_runtime_error():
    assert issubclass(morvel.StatusException, RuntimeError)


UTILITY_CONSTANTS = [
    ("INT32MIN", -2**31), ("INT32MAX", 2**31 - 1), ("UINT32MAX", 2**32 - 1),
    ("INT64MIN", -2**63), ("INT64MAX", 2**63 - 1), ("UINT64MAX", 2**64 - 1),
]


@pytest.mark.parametrize("name, value", UTILITY_CONSTANTS)
def test_utility_integer_constants(name, value):
    assert getattr(morvel.Utility, name) == value


def test_utility_platform_constants():
    assert isinstance(morvel.Utility.VERSION, str) and morvel.Utility.VERSION
    assert morvel.Utility.OS_NAME == "Linux"
    page_size = morvel.Utility.PAGE_SIZE
    assert page_size > 0 and page_size & (page_size - 1) == 0


STATUS_NAMES = [
    "SUCCESS", "UNKNOWN_ERROR", "SYSTEM_ERROR", "NOT_IMPLEMENTED_ERROR",
    "PRECONDITION_ERROR", "INVALID_ARGUMENT_ERROR", "CANCELED_ERROR",
    "NOT_FOUND_ERROR", "PERMISSION_ERROR", "INFEASIBLE_ERROR", "DUPLICATION_ERROR",
    "BROKEN_DATA_ERROR", "NETWORK_ERROR", "APPLICATION_ERROR",
]


def test_status_code_constants():
    for code, name in enumerate(STATUS_NAMES):
        assert getattr(morvel.Status, name) == code
        assert morvel.Status.CodeName(code) == name


def test_any_data_is_one_fixed_object():
    assert morvel.DBM.ANY_DATA == b"\x00[ANY]\x00"
    assert morvel.DBM.ANY_DATA is morvel.DBM.ANY_DATA
    assert morvel.DBM().ANY_DATA is morvel.DBM.ANY_DATA


@pytest.mark.parametrize("args, word", [((), "too few arguments"),
                                        ((1, 2), "too many arguments")])
def test_argument_count_messages(args, word):
    with pytest.raises(TypeError) as info:
        morvel.Status.CodeName(*args)
    assert str(info.value) == "invalid arguments: " + word


# Values and the bytes they are viewed as, observed through a stored record.
class BadStr:
    def __str__(self):
        raise ValueError("no text")


class Text:
    def __str__(self):
        return "text\u00e9"


MEMORY_VIEW = memoryview(b"x")
SOFT_STRING_CASES = [
    ("\u00e9", b"\xc3\xa9"),
    (b"a\x00b", b"a\x00b"),
    (bytearray(b"ab"), b"ab"),
    (bytearray(), b""),
    (None, b""),
    (3.0, b"3.0"),
    (12, b"12"),
    (True, b"True"),
    ("\ud800", b"\xed\xa0\x80"),
    (BadStr(), b"(unknown)"),
    (Text(), b"text\xc3\xa9"),
    (MEMORY_VIEW, str(MEMORY_VIEW).encode()),
]


@pytest.mark.parametrize("obj, expected", SOFT_STRING_CASES)
def test_values_are_viewed_as_bytes(tinydb, obj, expected):
    tinydb["k"] = obj
    assert tinydb[b"k"] == expected
    tinydb[obj] = "by key"
    assert tinydb[expected] == b"by key"


def test_a_bytearray_key_cannot_be_resized_while_viewed(tinydb):
    key = bytearray(b"key")

    class Resizer:
        def __str__(self):
            key.extend(b"-grown" * 1000)
            return "resized"

    # The value's str() runs while the key's view is held: the resize fails,
    # str() counts as failed, and the record lands under the original key.
    tinydb[key] = Resizer()
    assert key == bytearray(b"key")
    assert tinydb[b"key"] == b"(unknown)"


# Numbers through PyObjToInt, observed through SerializeInt.
class Number:
    def __int__(self):
        return 41

    def __index__(self):
        return 41


INT_CASES = [
    (2.9, 2), (-2.9, -2), (None, 0), ("12abc", 12), (b" -7", -7), ("none", 0),
    (bytearray(b"7"), 7), (object(), 0), (Number(), 41), (True, 1),
    (float("nan"), 0), (1e300, 2**63 - 1), (-1e300, -2**63),
]


@pytest.mark.parametrize("obj, number", INT_CASES)
def test_integer_conversion(obj, number):
    serialized = morvel.Utility.SerializeInt(obj)
    assert morvel.Utility.DeserializeInt(serialized) == number


DOUBLE_CASES = [
    (None, 0.0), ("1.5", 1.5), (b"-2.25", -2.25), (7, 7.0), (object(), 0.0),
    (bytearray(b"x"), 0.0),
]


@pytest.mark.parametrize("obj, number", DOUBLE_CASES)
def test_double_conversion(obj, number):
    serialized = morvel.Utility.SerializeFloat(obj)
    assert morvel.Utility.DeserializeFloat(serialized) == number


@pytest.mark.parametrize("call", [
    lambda: morvel.Utility.SerializeInt(2**64),
    lambda: morvel.Utility.SerializeFloat(-2**70),
    lambda: morvel.Utility.PrimaryHash("x", 2**65),
])
def test_an_int_beyond_64_bits_raises_overflow(call):
    with pytest.raises(OverflowError):
        call()


def test_failed_conversions_leave_no_error_pending(tinydb):
    # A pending error would surface as SystemError on a later call.
    for obj in (BadStr(), "\udcff", object()):
        tinydb["k"] = obj
        morvel.Utility.SerializeInt(obj)
        morvel.Utility.SerializeFloat(obj)
    assert sys.exc_info() == (None, None, None)
    assert tinydb[b"k"] == str(obj).encode()


def test_conversions_do_not_leak_references(tinydb):
    key = "leak-check-key"
    value = bytearray(b"value")
    before = sys.getrefcount(key), sys.getrefcount(value)
    for _ in range(100):
        tinydb[key] = value
        tinydb[value] = key
    gc.collect()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


# Strings with lone surrogates and the bytes they are stored under: the
# original bytes of an undecodable file name (as os.fsencode gives them), or
# surrogatepass for what surrogateescape cannot encode. Each was stored under
# the empty key, so distinct names overwrote each other.
SURROGATE_CASES = [
    ("caf\udce9.txt", b"caf\xe9.txt"),
    ("caf\udce8.txt", b"caf\xe8.txt"),
    ("\udcff", b"\xff"),
    ("\ud800", b"\xed\xa0\x80"),
    ("x\udbff", b"x\xed\xaf\xbf"),
]


def test_strings_with_lone_surrogates_stay_distinct_keys(tinydb):
    for i, (text, _) in enumerate(SURROGATE_CASES):
        assert tinydb.Set(text, str(i)).IsOK()
    assert len(tinydb) == len(SURROGATE_CASES)
    for i, (text, encoded) in enumerate(SURROGATE_CASES):
        assert tinydb[encoded] == str(i).encode()
        assert tinydb.Get(text) == str(i).encode()
    assert b"" not in tinydb


@pytest.mark.skipif(sys.getfilesystemencoding() != "utf-8", reason="needs UTF-8 file names")
def test_an_undecodable_file_name_from_listdir_names_that_file(tmp_path, tinydb):
    with open(os.path.join(os.fsencode(tmp_path), b"caf\xe9.txt"), "wb") as f:
        f.write(b"content")
    (name,) = os.listdir(tmp_path)
    assert tinydb.Set(name, "seen").IsOK()
    assert tinydb[b"caf\xe9.txt"] == b"seen"
    f = morvel.File()
    assert f.Open(str(tmp_path / name), False).IsOK()
    try:
        assert f.Read(0, 7) == b"content"
    finally:
        f.Close()
    assert os.listdir(tmp_path) == [name]


class StrXY:
    def __str__(self):
        return "XY"


class FileAt:
    """An open writable File at |path| for the duration of a test."""

    def __init__(self, path):
        self.file = morvel.File()
        assert self.file.Open(str(path), True).IsOK()


# Calls with an int beyond 64 bits before an argument whose conversion runs
# Python code: the OverflowError was cleared by that conversion, which then
# fell back to "(unknown)", and the call went on. Each builds the call from a
# database, a File and the temporary directory.
OVERFLOW_CALLS = {
    "File.Write": lambda db, f, tmp: f.Write(2**64, StrXY()),
    "File.Search": lambda db, f, tmp: f.Search(StrXY(), StrXY(), 2**64),
    "DBM.Search": lambda db, f, tmp: db.Search(StrXY(), StrXY(), 2**64),
    "DBM.Increment": lambda db, f, tmp: db.Increment(StrXY(), 2**64),
    "RestoreDatabase": lambda db, f, tmp: morvel.DBM.RestoreDatabase(
        db.GetFilePath(), str(tmp / "restored.mvh"), "", 2**64, StrXY()),
}


@pytest.mark.parametrize("call", OVERFLOW_CALLS.values(), ids=list(OVERFLOW_CALLS))
def test_an_int_beyond_64_bits_stops_the_call_before_the_next_argument(tmp_path, call):
    db = morvel.DBM()
    assert db.Open(str(tmp_path / "casket.mvh"), True, num_buckets=10).IsOK()
    f = FileAt(tmp_path / "data.txt").file
    try:
        assert db.Set("XY", "1").IsOK()
        assert f.Append(b"XY\n") == 0
        with pytest.raises(OverflowError):
            call(db, f, tmp_path)
        assert f.Read(0, f.GetSize()) == b"XY\n"
        assert dict(db) == {b"XY": b"1"}
        assert sorted(os.listdir(tmp_path)) == ["casket.mvh", "data.txt"]
    finally:
        f.Close()
        db.Close()


class Interrupting:
    """Raises |exc| from str() and int(), as Ctrl-C would arrive there."""

    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc()

    def __int__(self):
        raise self.exc()


# Calls whose conversion of an argument raises; each must raise it and store
# nothing.
def _set_item(db, obj):
    db["k"] = obj


INTERRUPTED_CALLS = {
    "Set value": lambda db, obj: db.Set("k", obj),
    "Set key": lambda db, obj: db.Set(obj, "v"),
    "setitem": _set_item,
    "Append": lambda db, obj: db.Append("k", "v", obj),
    "SetMulti": lambda db, obj: db.SetMulti(k=obj),
    "Increment": lambda db, obj: db.Increment("k", obj),
    "Process": lambda db, obj: db.Process("k", lambda key, value: obj, True),
    "PushLast": lambda db, obj: db.PushLast(obj),
    "Status": lambda db, obj: morvel.Status(1, obj),
}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("call", INTERRUPTED_CALLS.values(), ids=list(INTERRUPTED_CALLS))
def test_an_interrupt_during_a_conversion_propagates(tinydb, call, exc):
    with pytest.raises(exc):
        call(tinydb, Interrupting(exc))
    assert len(tinydb) == 0
    assert sys.exc_info() == (None, None, None)


# Calls given a path with a NUL byte, which the operating system would cut
# there. Each is refused with INVALID_ARGUMENT_ERROR and creates nothing.
def _open_dbm(tmp, path, **params):
    db = morvel.DBM()
    status = db.Open(path, True, **params)
    assert not db.IsOpen()
    return status


def _open_file(tmp, path):
    f = morvel.File()
    status = f.Open(path, True)
    assert repr(f) == "<morvel.File:(unopened)>"
    return status


def _copy_file_data(tmp, path):
    db = morvel.DBM()
    assert db.Open(str(tmp / "src" / "casket.mvh"), True, num_buckets=10).IsOK()
    try:
        return db.CopyFileData(path)
    finally:
        db.Close()


def _restore_from(tmp, path):
    return morvel.DBM.RestoreDatabase(path, str(tmp / "restored.mvh"))


def _restore_to(tmp, path):
    src = str(tmp / "src" / "casket.mvh")
    db = morvel.DBM()
    assert db.Open(src, True, num_buckets=10).IsOK()
    db.Close()
    return morvel.DBM.RestoreDatabase(src, path)


NUL_PATH_CALLS = {
    "DBM.Open": _open_dbm,
    "DBM.Open sharded": lambda tmp, path: _open_dbm(tmp, path, num_shards=2),
    "File.Open": _open_file,
    "CopyFileData": _copy_file_data,
    "RestoreDatabase source": _restore_from,
    "RestoreDatabase destination": _restore_to,
}


@pytest.mark.parametrize("path_type", [str, os.fsencode])
@pytest.mark.parametrize("call", NUL_PATH_CALLS.values(), ids=list(NUL_PATH_CALLS))
def test_a_path_with_a_nul_byte_is_refused(tmp_path, call, path_type):
    (tmp_path / "src").mkdir()
    target = tmp_path / "dst"
    target.mkdir()
    status = call(tmp_path, path_type(str(target / "a\0b.mvh")))
    assert status == morvel.Status.INVALID_ARGUMENT_ERROR
    assert os.listdir(target) == []
