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
])
def test_stubs_catch_misuse(tmp_path, code, message):
    source = tmp_path / "misuse.py"
    source.write_text("import morvel\n" + code + "\n")
    result = run_mypy_tool("mypy", "--strict", "--no-incremental", str(source))
    assert result.returncode == 1 and message in result.stdout, result.stdout
