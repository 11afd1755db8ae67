"""The morvel command line tool, run as a separate process the way a user
runs it: exit statuses, what it prints, and what it leaves in the files."""

import base64
import json
import os
import fcntl
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest

import morvel
from morvel_cli.main import escape

SCRIPT = os.path.join(os.path.dirname(sys.executable), "morvel")


def run(*args, cwd):
    """Runs the tool as python -m morvel_cli; arguments may be bytes."""
    return subprocess.run([sys.executable, "-m", "morvel_cli", *args], cwd=cwd,
                          capture_output=True)


def ok(*args, cwd):
    result = run(*args, cwd=cwd)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return result.stdout.decode()


def fails(*args, cwd, status=1):
    result = run(*args, cwd=cwd)
    assert result.returncode == status, result.stdout.decode()
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    return lines[0]


def fill(path, records, **params):
    db = morvel.DBM()
    db.Open(str(path), True, truncate=True, **params).OrDie()
    for key, value in records.items():
        db.Set(key, value).OrDie()
    db.Close().OrDie()


def read_all(path):
    db = morvel.DBM()
    db.Open(str(path), False).OrDie()
    records = dict(db)
    db.Close().OrDie()
    return records


FRUIT = {b"apple": b"1", b"banana": b"2", b"blueberry": b"3", b"cherry": b"4"}
BINARY = {b"k\xff\x00": b"v\x01\n", b"tab\tkey": "é".encode(), b"back\\slash": b""}


@pytest.mark.parametrize("data, printed", [
    (b"plain", "plain"),
    (b"a\tb\nc\rd", "a\\tb\\nc\\rd"),
    (b"back\\slash", "back\\\\slash"),
    (b"\x00\x1f\x7f", "\\x00\\x1f\\x7f"),
    (b"\xff\xfe", "\\xff\\xfe"),
    ("é€".encode(), "é€"),
    ("\u200b\U000e0001".encode(), "\\u200b\\U000e0001"),
    (b"", ""),
])
def test_escape_keeps_text_and_marks_everything_else(data, printed):
    assert escape(data) == printed


def test_escaped_forms_are_distinct():
    samples = [b"\\x41", b"A", b"\\\\x41", b"\t", b"\\t", b"\xc3", b"\\xc3"]
    assert len({escape(s) for s in samples}) == len(samples)


def test_set_get_count_remove(tmp_path):
    ok("set", "db.mvh", "name", "Ann", cwd=tmp_path)
    ok("set", "db.mvh", b"bin\xff", b"\x01\x02", cwd=tmp_path)
    assert ok("get", "db.mvh", "name", cwd=tmp_path) == "Ann\n"
    assert ok("get", "db.mvh", b"bin\xff", cwd=tmp_path) == "\\x01\\x02\n"
    raw = run("get", "db.mvh", b"bin\xff", "--raw", cwd=tmp_path)
    assert raw.returncode == 0 and raw.stdout == b"\x01\x02"
    assert json.loads(ok("get", "db.mvh", b"bin\xff", "--json", cwd=tmp_path)) == {
        "key_base64": "Ymlu/w==", "value": "\x01\x02"}
    assert ok("count", "db.mvh", cwd=tmp_path) == "2\n"
    assert "DUPLICATION_ERROR" in fails("set", "db.mvh", "name", "Bo", "--no-overwrite",
                                        cwd=tmp_path)
    ok("remove", "db.mvh", "name", cwd=tmp_path)
    assert "NOT_FOUND_ERROR" in fails("get", "db.mvh", "name", cwd=tmp_path)
    assert "NOT_FOUND_ERROR" in fails("remove", "db.mvh", "name", cwd=tmp_path)
    assert read_all(tmp_path / "db.mvh") == {b"bin\xff": b"\x01\x02"}


def test_reading_commands_do_not_create_the_file(tmp_path):
    for command in (["count"], ["get", "-", "k"], ["list"], ["inspect"], ["check"]):
        args = [command[0], "missing.mvh", *command[2:]]
        assert "NOT_FOUND_ERROR" in fails(*args, cwd=tmp_path)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name, params", [("fruit.mvt", {}), ("fruit.mvh", {}),
                                          ("fruit.data", {"dbm": "TreeDBM"})])
@pytest.mark.parametrize("options, expected", [
    ((), list(FRUIT)),
    (("--prefix", "b"), [b"banana", b"blueberry"]),
    (("--prefix", "blue"), [b"blueberry"]),
    (("--prefix", "z"), []),
    (("--prefix", "b", "--limit", "1"), None),
])
def test_list_all_and_by_prefix(tmp_path, name, params, options, expected):
    fill(tmp_path / name, FRUIT, **params)
    params = [f"--param={k}={v}" for k, v in params.items()]
    out = ok("list", name, *params, *options, cwd=tmp_path)
    keys = [line.split("\t")[0].encode() for line in out.splitlines()]
    if expected is None:
        assert len(keys) == 1 and keys[0].startswith(b"b")
    else:
        assert sorted(keys) == sorted(expected)
        if name != "fruit.mvh":
            assert keys == sorted(keys)
    for line in out.splitlines():
        key, value = line.split("\t")
        assert FRUIT[key.encode()] == value.encode()


@pytest.mark.parametrize("bounds, expected", [
    (("--from", "b"), [b"banana", b"blueberry", b"cherry"]),
    (("--to", "blue"), [b"apple", b"banana"]),
    (("--from", "banana", "--to", "cherry"), [b"banana", b"blueberry"]),
    (("--from", "c", "--to", "b"), []),
    (("--from", "zz"), []),
])
def test_list_an_ordered_range(tmp_path, bounds, expected):
    fill(tmp_path / "fruit.mvt", FRUIT)
    out = ok("list", "fruit.mvt", *bounds, cwd=tmp_path)
    assert [line.split("\t")[0].encode() for line in out.splitlines()] == expected


def test_list_refuses_a_range_of_an_unordered_database(tmp_path):
    fill(tmp_path / "fruit.mvh", FRUIT)
    assert "ordered" in fails("list", "fruit.mvh", "--from", "a", cwd=tmp_path)
    assert "--prefix" in fails("list", "fruit.mvh", "--prefix", "a", "--to", "b",
                               cwd=tmp_path)


def test_list_json_and_escaped_forms_keep_binary_records(tmp_path):
    fill(tmp_path / "bin.mvt", BINARY)
    lines = ok("list", "bin.mvt", "--json", cwd=tmp_path).splitlines()
    decoded = {}
    for line in lines:
        record = json.loads(line)
        key = (record["key"].encode() if "key" in record
               else base64.b64decode(record["key_base64"]))
        decoded[key] = record["value"].encode()
    assert decoded == BINARY
    text = ok("list", "bin.mvt", cwd=tmp_path)
    assert sorted(text.splitlines()) == sorted(
        f"{escape(k)}\t{escape(v)}" for k, v in BINARY.items())


@pytest.mark.parametrize("form", ["flat", "jsonl"])
def test_export_then_import_copies_every_record(tmp_path, form):
    records = {**FRUIT, **BINARY}
    fill(tmp_path / "src.mvh", records)
    ok("export", "src.mvh", "dump", "--format", form, cwd=tmp_path)
    ok("import", "copy.mvt", "dump", "--format", form, cwd=tmp_path)
    assert read_all(tmp_path / "copy.mvt") == records


@pytest.mark.parametrize("content, word", [
    ("not json\n", "line 1: not JSON"),
    ('{"key": "a", "value": "b"}\n[1, 2]\n', "line 2: not a JSON object"),
    ('{"value": "b"}\n', "line 1: no \"key\""),
    ('{"key": "a", "value_base64": "!!"}\n', "line 1: bad value_base64"),
])
def test_import_reports_the_bad_line(tmp_path, content, word):
    (tmp_path / "bad.jsonl").write_text(content)
    assert word in fails("import", "db.mvh", "bad.jsonl", "--format", "jsonl", cwd=tmp_path)


def damage(path, marker):
    data = bytearray(path.read_bytes())
    at = data.find(marker)
    assert at > 0
    data[at:at + len(marker)] = b"\xff" * len(marker)
    path.write_bytes(bytes(data))


def test_check_reads_every_record_and_fails_on_damage(tmp_path):
    records = {f"key{i:03d}".encode(): f"value{i:03d}".encode() * 10 for i in range(100)}
    fill(tmp_path / "db.mvh", records)
    assert ok("check", "db.mvh", cwd=tmp_path) == "db.mvh: 100 records, all readable\n"
    damage(tmp_path / "db.mvh", b"value050" * 5)
    assert "BROKEN_DATA_ERROR" in fails("check", "db.mvh", cwd=tmp_path)
    # Restoring copies what is still readable into a new, healthy file.
    ok("restore", "db.mvh", "restored.mvh", cwd=tmp_path)
    assert ok("check", "restored.mvh", cwd=tmp_path) == (
        "restored.mvh: 99 records, all readable\n")
    restored = read_all(tmp_path / "restored.mvh")
    assert b"key050" not in restored
    assert restored == {k: v for k, v in records.items() if k != b"key050"}


def test_rebuild_keeps_the_records_and_reclaims_space(tmp_path):
    fill(tmp_path / "db.mvh", {f"{i}".encode(): b"x" * 500 for i in range(200)})
    db = morvel.DBM()
    db.Open(str(tmp_path / "db.mvh"), True).OrDie()
    for i in range(190):
        db.Remove(f"{i}").OrDie()
    db.Close().OrDie()
    before = os.path.getsize(tmp_path / "db.mvh")
    ok("rebuild", "db.mvh", cwd=tmp_path)
    assert os.path.getsize(tmp_path / "db.mvh") < before
    assert read_all(tmp_path / "db.mvh") == {f"{i}".encode(): b"x" * 500
                                             for i in range(190, 200)}


def test_search_prints_matching_keys(tmp_path):
    fill(tmp_path / "fruit.mvt", FRUIT)
    assert ok("search", "fruit.mvt", "begin", "b", cwd=tmp_path).splitlines() == [
        "banana", "blueberry"]
    assert ok("search", "fruit.mvt", "contain", "rr", "--capacity", "1",
              cwd=tmp_path).count("\n") == 1


def test_inspect_prints_the_properties(tmp_path):
    fill(tmp_path / "fruit.mvt", FRUIT)
    lines = ok("inspect", "fruit.mvt", cwd=tmp_path).splitlines()
    assert "class=TreeDBM" in lines and "num_records=4" in lines
    assert json.loads(ok("inspect", "fruit.mvt", "--json", cwd=tmp_path))["num_records"] == "4"


@pytest.mark.parametrize("args, status, word", [
    ((), 2, "required"),
    (("frobnicate", "x"), 2, "invalid choice"),
    (("get", "db.mvh"), 2, "required"),
    (("list", "db.mvh", "--limit", "many"), 2, "invalid int"),
    (("set", "db.mvh", "k", "v", "--param", "nonsense"), 1, "NAME=VALUE"),
    (("import", "db.mvh", "absent.flat"), 1, "absent.flat"),
    (("import", "db.mvh", "absent.jsonl", "--format", "jsonl"), 1, "absent.jsonl"),
])
def test_errors_are_one_line_with_a_nonzero_status(tmp_path, args, status, word):
    assert word in fails(*args, cwd=tmp_path, status=status)


COMMANDS = ["inspect", "count", "get", "set", "remove", "list", "export", "import",
            "rebuild", "restore", "check", "search"]


@pytest.mark.parametrize("command", [[]] + [[c] for c in COMMANDS])
def test_every_command_has_help(tmp_path, command):
    out = ok(*command, "--help", cwd=tmp_path)
    assert out.startswith("usage: morvel") and "--help" in out


def test_the_installed_script_runs_the_tool(tmp_path):
    assert os.path.isfile(SCRIPT)
    fill(tmp_path / "fruit.mvt", FRUIT)
    result = subprocess.run([SCRIPT, "count", "fruit.mvt"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "4\n")


# Each long command with the label of its bar, and the amount its last frame
# shows (records, or None where it counts bytes or only time).
LONG_COMMANDS = [
    (("export", "db.mvh", "dump.jsonl", "--format", "jsonl"), "exported", "300/300"),
    (("export", "db.mvh", "dump.flat"), "exported", None),
    (("import", "new.mvh", "dump.jsonl", "--format", "jsonl"), "imported", "300records"),
    (("import", "new.mvt", "dump.flat"), "imported", None),
    (("check", "db.mvh"), "checked", "300/300"),
    (("rebuild", "db.mvh"), "rebuilt", "300/300"),
    (("restore", "db.mvh", "restored.mvh"), "restored", None),
]


@pytest.fixture
def long_work(tmp_path):
    fill(tmp_path / "db.mvh", {f"{i}".encode(): b"v" * 10 for i in range(300)})
    ok("export", "db.mvh", "dump.jsonl", "--format", "jsonl", cwd=tmp_path)
    ok("export", "db.mvh", "dump.flat", cwd=tmp_path)
    return tmp_path


def bar_frames(stderr, label):
    """The frames of tqdm bars with |label| written to stderr."""
    return [frame for frame in re.split(r"[\r\n]", stderr.decode()) if frame.startswith(label + ":")]


@pytest.mark.parametrize("command, label, amount", LONG_COMMANDS)
def test_progress_bar_on_stderr_only_when_asked_or_on_a_terminal(long_work, command, label,
                                                                 amount):
    piped = run(*command, cwd=long_work)
    assert piped.returncode == 0 and piped.stderr == b"", piped.stderr
    refused = run(*command, "--no-progress", cwd=long_work)
    assert refused.returncode == 0 and refused.stderr == b""
    forced = run(*command, "--progress", cwd=long_work)
    assert forced.returncode == 0, forced.stderr
    assert forced.stdout == piped.stdout
    frames = bar_frames(forced.stderr, label)
    assert frames, forced.stderr
    # tqdm's frame: the label, an amount and [elapsed<remaining, rate].
    assert re.search(r"\[\d\d:\d\d", frames[-1]), frames[-1]
    if amount is not None:
        assert amount in frames[-1].replace(" ", ""), frames[-1]


def run_on_a_terminal(*args, cwd):
    """Runs the tool with stderr on a pseudo-terminal; returns (status, what
    the terminal received)."""
    leader, follower = pty.openpty()
    # A terminal 80 columns wide: a new pseudo-terminal has none.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        process = subprocess.Popen([sys.executable, "-m", "morvel_cli", *args], cwd=cwd,
                                   stdout=subprocess.DEVNULL, stderr=follower)
        os.close(follower)
        received = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal is gone once the tool has exited
                break
            if not chunk:
                break
            received += chunk
        return process.wait(), received
    finally:
        os.close(leader)


@pytest.mark.parametrize("flag, shown", [((), True), (("--no-progress",), False)])
def test_progress_bar_is_shown_by_default_on_a_terminal(long_work, flag, shown):
    status, received = run_on_a_terminal("check", "db.mvh", *flag, cwd=long_work)
    assert status == 0
    assert bool(bar_frames(received, "checked")) == shown, received


def test_the_tool_works_without_tqdm(long_work):
    # tqdm made unimportable: --progress is accepted and simply shows nothing.
    code = ("import sys; sys.modules['tqdm'] = None; from morvel_cli.main import main; "
            "sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, "-c", code, "check", "db.mvh", "--progress"],
                            cwd=long_work, capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "db.mvh: 300 records, all readable\n"


def test_a_failing_call_under_a_progress_bar_still_fails(long_work):
    (long_work / "bad.flat").write_bytes(b"\xff" * 64)
    result = run("import", "new.mvh", "bad.flat", "--progress", cwd=long_work)
    assert result.returncode == 1
    assert "morvel import: error: cannot import bad.flat" in result.stderr.decode()
