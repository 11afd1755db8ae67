"""The binary wheel, installed where nothing else of morvel is: a new virtual
environment, no compiler, and the system's RE2 hidden, so that the wheel
works only if it carries its native libraries itself. The wheel to check is
named by MORVEL_WHEEL ("make wheel-test" builds it and sets it).

Also here: building from source stops at configure, with one line that says
what to install, when RE2 cannot be found."""

import glob
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WHEEL = os.environ.get("MORVEL_WHEEL", "")
SYSTEM_RE2 = sorted({os.path.realpath(p) for p in
                     glob.glob("/usr/lib/x86_64-linux-gnu/libre2.so*")
                     + glob.glob("/lib/x86_64-linux-gnu/libre2.so*")})

needs_wheel = pytest.mark.skipif(not WHEEL, reason="MORVEL_WHEEL names no wheel "
                                 "(make wheel-test builds one)")


@pytest.fixture(scope="module")
def wheel_env(tmp_path_factory):
    """A fresh virtual environment with only the wheel (and what it depends
    on) installed, binary packages only and every compiler made to fail."""
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    env = dict(os.environ, CC="false", CXX="false", PIP_ONLY_BINARY=":all:")
    env.pop("PYTHONPATH", None)
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", WHEEL],
                   check=True, env=env)
    return venv


# Run with the system RE2 unreadable (when a mount namespace can be had), by
# the venv's interpreter, from a directory that holds nothing of the project.
USE_THE_WHEEL = r"""
import ctypes, os, subprocess, sys
import morvel

hidden = sys.argv[1:]
for path in hidden:
    try:
        ctypes.CDLL(path)
    except OSError:
        continue
    sys.exit(f"the system RE2 is not hidden: {path} loads")

site = os.path.dirname(morvel.__file__)
for name in ("HashDBM", "TreeDBM"):
    suffix = {"HashDBM": ".mvh", "TreeDBM": ".mvt"}[name]
    with morvel.DBM() as db:
        db.Open("casket" + suffix, True, truncate=True).OrDie()
        for key in ("apple", "apricot", "banana", "cherry"):
            db.Set(key, key.upper()).OrDie()
        assert db.Inspect()["class"] == name, db.Inspect()
        assert sorted(db.Search("regex", "^a.*[et]$")) == ["apple", "apricot"]
        assert db.GetStr("banana") == "BANANA"

with open("/proc/self/maps") as maps:
    re2 = {line.split()[-1] for line in maps if "libre2" in line}
assert re2 and all(p.startswith(os.path.join(site, "morvel.libs") + "/") for p in re2), re2

cli = os.path.join(os.path.dirname(sys.executable), "morvel")
out = subprocess.run([cli, "search", "casket.mvt", "regex", "an"], capture_output=True,
                     text=True)
assert (out.returncode, out.stdout) == (0, "banana\n"), (out.returncode, out.stdout, out.stderr)
print("wheel works")
"""


def can_hide_files():
    if not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-rm", "true"], capture_output=True)
    return probe.returncode == 0


@needs_wheel
def test_the_wheel_carries_its_native_libraries_and_python_parts():
    with zipfile.ZipFile(WHEEL) as wheel:
        names = wheel.namelist()
        entry_points = next(wheel.read(n).decode() for n in names
                            if n.endswith(".dist-info/entry_points.txt"))
        metadata = next(wheel.read(n).decode() for n in names
                        if n.endswith(".dist-info/METADATA"))
    bundled = [n for n in names if n.startswith("morvel.libs/")]
    assert any(os.path.basename(n).startswith("libre2") for n in bundled), names
    for required in ("libmorvel.so.1", "morvel-stubs/__init__.pyi", "morvel-stubs/py.typed",
                     "morvel_aio/__init__.py", "morvel_cli/main.py"):
        assert required in names, names
    assert any(n.startswith("morvel.cpython-") and n.endswith(".so") for n in names)
    assert "morvel = morvel_cli.main:main" in entry_points
    assert "Requires-Dist: tqdm" in metadata
    assert "manylinux" in os.path.basename(WHEEL)


@needs_wheel
def test_the_wheel_works_without_the_system_re2(wheel_env, tmp_path):
    python = str(wheel_env / "bin" / "python")
    script = tmp_path / "use_the_wheel.py"
    script.write_text(USE_THE_WHEEL)
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    if can_hide_files() and SYSTEM_RE2:
        empty = tmp_path / "empty"
        empty.write_bytes(b"")
        mounts = "".join(f"mount --bind {empty} {path} && " for path in SYSTEM_RE2)
        hidden = " ".join(SYSTEM_RE2)
        command = ["unshare", "-rm", "sh", "-c",
                   f"{mounts}exec {python} {script} {hidden}"]
    else:
        # No private mount namespace here: the check of the mapped libre2
        # still proves the wheel's copy is the one loaded.
        command = [python, str(script)]
    result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("wheel works")


@needs_wheel
def test_the_wheel_module_finds_libmorvel_and_re2_by_rpath(wheel_env):
    python = str(wheel_env / "bin" / "python")
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()"
                           "['platlib'])"], capture_output=True, text=True,
                          check=True).stdout.strip()
    module = glob.glob(os.path.join(site, "morvel.cpython-*.so"))[0]
    result = subprocess.run(["ldd", module], capture_output=True, text=True,
                            env={"PATH": "/usr/bin:/bin"})
    lines = {line.split()[0]: line for line in result.stdout.splitlines() if "=>" in line}
    assert os.path.join(site, "libmorvel.so.1") in lines["libmorvel.so.1"], result.stdout
    re2 = [line for name, line in lines.items() if name.startswith("libre2")]
    assert re2 and os.path.join(site, "morvel.libs") in re2[0], result.stdout


# Configure only, the engine alone, with pkg-config looking in an empty
# directory: RE2 is then unfindable unless RE2_ROOT names where it is.
@pytest.mark.parametrize("re2_root, found", [
    (None, False),
    ("/nonexistent-prefix", False),
    ("/usr", True),
])
def test_configure_names_the_package_when_re2_is_missing(tmp_path, re2_root, found):
    venv_bin = os.path.dirname(sys.executable)
    cmake = shutil.which("cmake", path=venv_bin + os.pathsep + os.environ.get("PATH", ""))
    if cmake is None or not glob.glob("/usr/lib/x86_64-linux-gnu/pkgconfig/re2.pc"):
        pytest.skip("needs cmake and an installed RE2 to hide")
    empty = tmp_path / "no-pkgconfig"
    empty.mkdir()
    env = dict(os.environ, PKG_CONFIG_LIBDIR=str(empty),
               PATH=venv_bin + os.pathsep + os.environ.get("PATH", ""))
    env.pop("PKG_CONFIG_PATH", None)
    env.pop("RE2_ROOT", None)
    if re2_root is not None:
        env["RE2_ROOT"] = re2_root
    result = subprocess.run([cmake, "-S", ROOT, "-B", str(tmp_path / "build"),
                             "-DMORVEL_BUILD_PYTHON=OFF"], env=env, capture_output=True,
                            text=True)
    message = ("RE2 not found: install the Debian package libre2-dev "
               "(or set RE2_ROOT)")
    if found:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        lines = [line.strip() for line in result.stderr.splitlines()]
        assert message in lines, result.stderr
        # Stopped at configure: nothing to build was written.
        assert not (tmp_path / "build" / "build.ninja").exists()
        assert not (tmp_path / "build" / "Makefile").exists()
