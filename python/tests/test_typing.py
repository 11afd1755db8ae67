"""The installed type stubs: they match the built module, as stubtest sees
it, and the examples and the pure-Python tools type-check against them under
mypy --strict."""

import os
import subprocess
import sys
import sysconfig

import pytest

import morvel

pytest.importorskip("mypy")

# The stubs describe the installed module; a build imported from elsewhere
# (the sanitizer build) has none beside it.
if os.path.dirname(morvel.__file__) != sysconfig.get_paths()["platlib"]:
    pytest.skip("morvel is not the installed module", allow_module_level=True)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def run_mypy_tool(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=HERE)


def test_stubs_ship_beside_the_module():
    site = os.path.dirname(morvel.__file__)
    assert os.path.isfile(os.path.join(site, "morvel-stubs", "__init__.pyi"))


def test_stubs_match_the_module():
    allowlist = os.path.join(HERE, "typing", "stubtest_allowlist.txt")
    result = run_mypy_tool("mypy.stubtest", "morvel", "--allowlist", allowlist)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_and_tools_type_check_strictly():
    examples = os.path.join(ROOT, "examples")
    tools = os.path.join(ROOT, "python", "cli")
    result = run_mypy_tool("mypy", "--strict", "--no-incremental", examples, tools)
    assert result.returncode == 0, result.stdout + result.stderr


# Misuses the stubs must reject: each line is wrong for a reason a user would
# otherwise find only at run time.
@pytest.mark.parametrize("code, message", [
    ("morvel.DBM().Get('k').decode(1, 2, 3)", "decode"),
    ("x: bytes = morvel.DBM().Get('k')", "bytes | None"),
    ("x: int = morvel.DBM().Open('p', True)", "Status"),
    ("morvel.Utility.EditDistanceLev(b'a', 'b')", "EditDistanceLev"),
    ("morvel.Index().MakeIterator().Step()", "Step"),
    ("x: str = morvel.AsyncDBM(morvel.DBM(), 1).Get('k').Get()[1]", "bytes"),
    ("x: str | None = morvel.DBM().SetAndGet('k', b'v')[1]", "bytes | None"),
    ("x: bytes | None = morvel.DBM().RemoveAndGet('k')[1]", "str | None"),
    ("x: bytes | None = morvel.DBM().CompareExchangeAndGet(b'k', None, 'v')[1]",
     "str | None"),
    ("x: bytes = morvel.DBM()['k']", "str"),
])
def test_stubs_catch_misuse(tmp_path, code, message):
    source = tmp_path / "misuse.py"
    source.write_text("import morvel\n" + code + "\n")
    result = run_mypy_tool("mypy", "--strict", "--no-incremental", str(source))
    assert result.returncode == 1 and message in result.stdout, result.stdout


# Uses the stubs must accept, each with the type the module really returns;
# checked in one mypy run.
ACCEPTED = """
import morvel

db = morvel.DBM()
with db:
    a: str | None = db.SetAndGet("k", "v")[1]
    b: bytes | None = db.SetAndGet("k", b"v")[1]
    c: str | None = db.RemoveAndGet("k")[1]
    d: bytes | None = db.CompareExchangeAndGet("k", None, db.ANY_DATA)[1]
    e: str = db["k"]
    f: bytes = db[b"k"]
    g: dict[str, str] = db.GetMultiStr("a", "b")
    h: int | None = db.Increment("n", 1, 0, morvel.Status())
    i: list[str] = db.Search("begin", "a", 10)
    for key, value in db:
        j: bytes = key + value
    db.Process("k", lambda key, value: None if value else "new", True)
adbm = morvel.AsyncDBM(db, 2)
k: tuple[morvel.Status, int] = adbm.Increment("n").Get()
l: tuple[morvel.Status, bytes, bytes] = adbm.PopFirst().Get()


async def waits() -> morvel.Status:
    future = adbm.Clear()
    m: str = await future
    return future.Get()


with morvel.File() as file, morvel.Index() as index:
    n: int | None = file.Append(b"x")
    o: list[str] = index.GetValuesStr("k", 2)
    p: tuple[bytes, bytes] | None = index.MakeIterator().Get()
q: str = morvel.Status.CodeName(morvel.Status.NOT_FOUND_ERROR)
"""


def test_stubs_accept_real_uses(tmp_path):
    source = tmp_path / "uses.py"
    source.write_text(ACCEPTED)
    result = run_mypy_tool("mypy", "--strict", "--no-incremental", str(source))
    assert result.returncode == 0, result.stdout
