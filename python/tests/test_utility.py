"""Utility: platform figures, placement hashes, edit distance and encodings."""

import random
import struct

import pytest

import morvel

Utility = morvel.Utility
UINT32MAX = 2**32 - 1
UINT64MAX = 2**64 - 1


def invalid(word):
    return pytest.raises(TypeError, match="^invalid arguments: " + word + "$")


def fold(hash64):
    w3, w2, w1, w0 = ((hash64 >> shift) & 0xFFFF for shift in (48, 32, 16, 0))
    return ((w2 ^ w0) << 16) | (w3 ^ w1)


def test_memory_figures():
    capacity = Utility.GetMemoryCapacity()
    usage = Utility.GetMemoryUsage()
    assert capacity > 0 and usage > 0
    assert usage < capacity


KEYS = ["", "a", "abc", "\u00e9t\u00e9", "x" * 1000, "key-12345"]
# Counts are read as signed 64-bit numbers taken as unsigned, so -1 stands for
# the largest count.
COUNTS = [1, 2, 3, 7, 1000, 65536, 1048583, UINT32MAX, UINT32MAX + 1, 2**63 - 1, -1]


@pytest.mark.parametrize("method", [Utility.PrimaryHash, Utility.SecondaryHash])
def test_hash_placement(method):
    for key in KEYS:
        full = method(key)
        assert 0 <= full <= UINT64MAX
        assert method(key, 0) == full
        assert method(key, None) == full
        assert method(key.encode()) == full
        assert method(bytearray(key.encode())) == full
        for count in COUNTS:
            bucket = method(key, count)
            count %= 2**64
            assert 0 <= bucket < count
            expected = fold(full) % count if count <= UINT32MAX else full % count
            assert bucket == expected, (key, count)
        assert method(key, "7") == method(key, 7)


def test_hashes_differ_and_spread():
    keys = [f"key{i}" for i in range(1000)]
    assert len({Utility.PrimaryHash(k) for k in keys}) == len(keys)
    assert Utility.PrimaryHash("abc") != Utility.SecondaryHash("abc")
    assert Utility.PrimaryHash(12) == Utility.PrimaryHash("12")
    buckets = [Utility.SecondaryHash(k, 4) for k in keys]
    assert all(buckets.count(b) > 150 for b in range(4))


@pytest.mark.parametrize("method", ["PrimaryHash", "SecondaryHash"])
@pytest.mark.parametrize("args, word", [((), "too few arguments"),
                                        (("a", 1, 2), "too many arguments")])
def test_hash_argument_counts(method, args, word):
    with invalid(word):
        getattr(Utility, method)(*args)


def reference_distance(a, b):
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(current[j - 1] + 1, previous[j] + 1,
                               previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


@pytest.mark.parametrize("a, b, distance", [
    ("", "", 0), ("abc", "", 3), ("", "abc", 3), ("abc", "abd", 1),
    ("abc", "bca", 2), ("caf\u00e9", "cafe", 1), ("kitten", "sitting", 3),
    ("A", "a", 1), ("\U0001f600x", "x", 1), ("\u00e9", "e\u0301", 2),
])
def test_edit_distance_cases(a, b, distance):
    assert Utility.EditDistanceLev(a, b) == distance
    assert Utility.EditDistanceLev(b, a) == distance


# Lengths around the stack table's limit (44 x 44 fits, 45 x 44 does not) and
# well past it, over the three storage widths of str.
@pytest.mark.parametrize("n, m", [(44, 44), (45, 44), (44, 45), (1, 2047), (300, 200)])
@pytest.mark.parametrize("alphabet", ["ab", "a\u00e9\u00ff", "x\u4e2d\u6587", "a\U0001f600"])
def test_edit_distance_matches_a_reference(n, m, alphabet):
    rng = random.Random(n * 1000 + m)
    a = "".join(rng.choice(alphabet) for _ in range(n))
    b = "".join(rng.choice(alphabet) for _ in range(m))
    assert Utility.EditDistanceLev(a, b) == reference_distance(a, b)


@pytest.mark.parametrize("args, word", [
    (("a",), "too few arguments"), (("a", "b", "c"), "too many arguments"),
    (("a", b"a"), "not Unicode arguments"), ((1, "a"), "not Unicode arguments"),
])
def test_edit_distance_argument_errors(args, word):
    with invalid(word):
        Utility.EditDistanceLev(*args)


def test_edit_distance_accepts_str_subclasses():
    class Text(str):
        pass
    assert Utility.EditDistanceLev(Text("abc"), "abd") == 1


@pytest.mark.parametrize("number", [0, 1, -1, -5, 2**63 - 1, -2**63, 255, 256])
def test_integer_encoding_round_trip(number):
    data = Utility.SerializeInt(number)
    assert data == struct.pack(">q", number)
    assert Utility.DeserializeInt(data) == number
    assert Utility.DeserializeInt(bytearray(data)) == number


def test_integer_encoding_of_other_values():
    assert Utility.SerializeInt(1) == b"\x00" * 7 + b"\x01"
    assert Utility.SerializeInt(-1) == b"\xff" * 8
    assert Utility.SerializeInt(2.9) == Utility.SerializeInt(2)
    assert Utility.DeserializeInt(b"\x01\x00") == 256


def test_unsigned_numbers_up_to_uint64max_are_accepted():
    # The count of the hashes and the number of SerializeInt are unsigned, so
    # the whole unsigned range is theirs; only numbers beyond it overflow.
    assert Utility.SerializeInt(UINT64MAX) == b"\xff" * 8
    assert Utility.SerializeInt(2**63) == b"\x80" + b"\x00" * 7
    assert Utility.PrimaryHash("abc", UINT64MAX) == Utility.PrimaryHash("abc")
    assert Utility.SecondaryHash("abc", UINT64MAX) == Utility.SecondaryHash("abc")
    for call in (lambda: Utility.SerializeInt(2**64),
                 lambda: Utility.PrimaryHash("abc", 2**64),
                 lambda: Utility.SerializeInt(-2**63 - 1)):
        with pytest.raises(OverflowError):
            call()


@pytest.mark.parametrize("number", [0.0, 1.5, -2.25, 1e300, float("inf"), -0.0])
def test_float_encoding_round_trip(number):
    data = Utility.SerializeFloat(number)
    assert len(data) == 8
    assert data == struct.pack(">d", number)
    assert Utility.DeserializeFloat(data) == number


def test_float_encoding_of_other_values():
    assert Utility.SerializeFloat(None) == Utility.SerializeFloat(0.0)
    assert Utility.SerializeFloat(3) == Utility.SerializeFloat(3.0)
    nan = Utility.DeserializeFloat(Utility.SerializeFloat(float("nan")))
    assert nan != nan


@pytest.mark.parametrize("method", ["SerializeInt", "DeserializeInt",
                                    "SerializeFloat", "DeserializeFloat"])
def test_encodings_take_one_argument(method):
    with invalid("too few arguments"):
        getattr(Utility, method)()
    with invalid("too many arguments"):
        getattr(Utility, method)(1, 2)
