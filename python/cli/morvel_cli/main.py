"""The morvel command line tool.

Each subcommand opens one database file, does one thing and closes it again.
Keys and values given on the command line are taken as the bytes the operating
system passed (so any byte string can be named); keys and values printed are
escaped so that binary data stays on one line and can be told apart:
a backslash is written as \\\\, tab, newline and carriage return as \\t, \\n and
\\r, other unprintable characters and bytes that are not UTF-8 as \\xNN,
\\uNNNN or \\UNNNNNNNN. The --json forms write one JSON object per record
instead, with "key" and "value" as text when they are UTF-8 and as
"key_base64" and "value_base64" otherwise.

The long commands (export, import, rebuild, restore, check) draw a progress
bar on stderr while they run, when stderr is a terminal: --progress forces it,
--no-progress hides it.

Failures print one line on stderr and exit with status 1; command line
mistakes exit with status 2.
"""

from __future__ import annotations

import argparse
import base64
import importlib
import json
import os
import sys
import threading
from collections.abc import Callable, Iterator as _Iterator, Sequence
from typing import IO, Any, NoReturn, TypeVar

import morvel

# tqdm draws the progress bars; the tool works without it, only with no bar.
# (Imported by name so that type checking needs no stubs of it.)
tqdm: Any
try:
    tqdm = importlib.import_module("tqdm").tqdm
except ImportError:
    tqdm = None

_T = TypeVar("_T")

PROG = "morvel"


class Failure(Exception):
    """A failure reported as one line on stderr with exit status 1."""


class _Parser(argparse.ArgumentParser):
    # A command line mistake is one line too, with the usual status 2.
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def escape(data: bytes) -> str:
    """The printable, unambiguous form of a key or value."""
    out = []
    for ch in data.decode("utf-8", "surrogateescape"):
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        elif ch == "\\":
            out.append("\\\\")
        elif ch in "\t\n\r":
            out.append({"\t": "\\t", "\n": "\\n", "\r": "\\r"}[ch])
        elif ch.isprintable():
            out.append(ch)
        elif code < 0x100:
            out.append(f"\\x{code:02x}")
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    return "".join(out)


def json_field(name: str, data: bytes) -> dict[str, str]:
    try:
        return {name: data.decode("utf-8")}
    except UnicodeDecodeError:
        return {name + "_base64": base64.b64encode(data).decode("ascii")}


def json_record(key: bytes, value: bytes) -> str:
    return json.dumps({**json_field("key", key), **json_field("value", value)},
                      ensure_ascii=False)


def read_json_field(record: dict[str, object], name: str, line_number: int) -> bytes:
    text = record.get(name)
    if isinstance(text, str):
        return text.encode("utf-8", "surrogatepass")
    encoded = record.get(name + "_base64")
    if isinstance(encoded, str):
        try:
            return base64.b64decode(encoded, validate=True)
        except ValueError as error:
            raise Failure(f"line {line_number}: bad {name}_base64: {error}") from None
    raise Failure(f"line {line_number}: no \"{name}\" or \"{name}_base64\" field")


def arg_bytes(text: str) -> bytes:
    return os.fsencode(text)


def check(status: morvel.Status, what: str) -> None:
    if not status.IsOK():
        raise Failure(f"{what}: {status}")


def parse_params(pairs: Sequence[str]) -> dict[str, str]:
    params: dict[str, str] = {}
    for pair in pairs:
        name, sep, value = pair.partition("=")
        if not sep or not name:
            raise Failure(f"bad parameter {pair!r}: expected NAME=VALUE")
        params[name] = value
    return params


class Database:
    """A DBM opened for one command, closed when the command ends."""

    def __init__(self, args: argparse.Namespace, writable: bool) -> None:
        self.path: str = args.path
        self.dbm = morvel.DBM()
        params = parse_params(args.param)
        if not writable:
            params.setdefault("no_create", "true")
        check(self.dbm.Open(self.path, writable, **params), f"cannot open {self.path}")

    def __enter__(self) -> morvel.DBM:
        return self.dbm

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        status = self.dbm.Close()
        if exc_type is None:
            check(status, f"cannot close {self.path}")


def records(db: morvel.DBM, start: bytes | None = None) -> _Iterator[tuple[bytes, bytes]]:
    """Every record from |start| (or the first) on; a read failure raises."""
    it = db.MakeIterator()
    status = it.Jump(start) if start is not None else it.First()
    check(status, "cannot start reading")
    while True:
        receiver = morvel.Status()
        record = it.Get(receiver)
        if record is None:
            if receiver == morvel.Status.NOT_FOUND_ERROR:
                return
            raise Failure(f"cannot read a record: {receiver}")
        yield record
        check(it.Next(), "cannot step to the next record")


def progress_wanted(args: argparse.Namespace) -> bool:
    """--progress forces the bar, --no-progress hides it; by default it is shown
    when stderr is a terminal. Without tqdm there is never one."""
    if tqdm is None:
        return False
    choice: bool | None = getattr(args, "progress", None)
    return sys.stderr.isatty() if choice is None else choice


class Progress:
    """A tqdm bar on stderr while a long command runs, or nothing at all.

    step() counts records as a loop handles them; watch() runs one long engine
    call on a worker thread and refreshes the bar meanwhile, from |measure|
    (a byte or record count read while the call runs) or with the elapsed time
    alone until the call returns."""

    def __init__(self, args: argparse.Namespace, label: str, total: int | None = None,
                 unit: str = "records") -> None:
        self.count = 0
        self.bar: Any = None
        if progress_wanted(args):
            self.bar = tqdm(total=total, desc=label, unit=unit, file=sys.stderr,
                            unit_scale=unit == "B", dynamic_ncols=True, leave=True)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if self.bar is not None:
            self.bar.close()

    def step(self) -> None:
        self.count += 1
        if self.bar is not None:
            self.bar.update(1)

    def watch(self, call: Callable[[], _T],
              measure: Callable[[], int | None] | None = None) -> _T:
        if self.bar is None:
            return call()
        outcome: list[_T] = []
        failure: list[BaseException] = []

        def work() -> None:
            try:
                outcome.append(call())
            except BaseException as error:  # raised again on the calling thread
                failure.append(error)

        worker = threading.Thread(target=work, daemon=True)
        worker.start()
        interrupted: KeyboardInterrupt | None = None
        while worker.is_alive():
            try:
                worker.join(0.1)
                self.show(measure)
            except KeyboardInterrupt as interrupt:
                # The engine call cannot be stopped: it finishes before the
                # database is closed under it, and the interrupt follows.
                interrupted = interrupt
        self.show(measure)
        if interrupted is not None:
            raise interrupted
        if failure:
            raise failure[0]
        if measure is None and self.bar.total is not None:
            # Nothing was measured on the way: the call has done everything.
            self.bar.n = self.bar.total
            self.bar.refresh()
        return outcome[0]

    def show(self, measure: Callable[[], int | None] | None) -> None:
        amount = measure() if measure is not None else None
        if amount is not None and amount >= 0:
            self.bar.n = amount
        self.bar.refresh()


def file_size(path: str) -> Callable[[], int | None]:
    """How many bytes |path| holds now, or None while it does not exist."""
    def measure() -> int | None:
        try:
            return os.path.getsize(path)
        except OSError:
            return None
    return measure


def print_record(out: IO[str], key: bytes, value: bytes, as_json: bool) -> None:
    if as_json:
        out.write(json_record(key, value) + "\n")
    else:
        out.write(f"{escape(key)}\t{escape(value)}\n")


def cmd_inspect(args: argparse.Namespace) -> int:
    with Database(args, False) as db:
        properties = db.Inspect()
    if args.json:
        print(json.dumps(properties, ensure_ascii=False))
    else:
        for name, value in properties.items():
            print(f"{name}={value}")
    return 0


def cmd_count(args: argparse.Namespace) -> int:
    with Database(args, False) as db:
        count = db.Count()
    if count is None:
        raise Failure(f"cannot count the records of {args.path}")
    print(count)
    return 0


def cmd_get(args: argparse.Namespace) -> int:
    with Database(args, False) as db:
        status = morvel.Status()
        value = db.Get(arg_bytes(args.key), status)
    if value is None:
        raise Failure(f"cannot get {args.key!r}: {status}")
    if args.raw:
        sys.stdout.flush()
        sys.stdout.buffer.write(value)
    elif args.json:
        print(json_record(arg_bytes(args.key), value))
    else:
        print(escape(value))
    return 0


def cmd_set(args: argparse.Namespace) -> int:
    with Database(args, True) as db:
        check(db.Set(arg_bytes(args.key), arg_bytes(args.value), not args.no_overwrite),
              f"cannot set {args.key!r}")
    return 0


def cmd_remove(args: argparse.Namespace) -> int:
    with Database(args, True) as db:
        check(db.Remove(arg_bytes(args.key)), f"cannot remove {args.key!r}")
    return 0


def cmd_list(args: argparse.Namespace) -> int:
    prefix = arg_bytes(args.prefix) if args.prefix is not None else None
    low = arg_bytes(args.low) if args.low is not None else None
    high = arg_bytes(args.high) if args.high is not None else None
    if prefix is not None and (low is not None or high is not None):
        raise Failure("--prefix cannot be combined with --from or --to")
    shown = 0
    with Database(args, False) as db:
        ordered = db.IsOrdered()
        if (low is not None or high is not None) and not ordered:
            raise Failure(f"--from and --to need an ordered database; {args.path} is not")
        start = low if low is not None else (prefix if ordered else None)
        for key, value in records(db, start):
            if prefix is not None and not key.startswith(prefix):
                if ordered:
                    break
                continue
            if high is not None and key >= high:
                break
            if args.limit is not None and shown >= args.limit:
                break
            print_record(sys.stdout, key, value, args.json)
            shown += 1
    return 0


def cmd_export(args: argparse.Namespace) -> int:
    with Database(args, False) as db:
        if args.format == "flat":
            with morvel.File() as dest, Progress(args, "exported", unit="B") as progress:
                check(dest.Open(args.dest, True, truncate=True), f"cannot open {args.dest}")
                check(progress.watch(lambda: db.ExportToFlatRecords(dest), file_size(args.dest)),
                      f"cannot export to {args.dest}")
        else:
            with open(args.dest, "w", encoding="utf-8") as out, \
                    Progress(args, "exported", db.Count()) as progress:
                for key, value in records(db):
                    print_record(out, key, value, True)
                    progress.step()
    return 0


def cmd_import(args: argparse.Namespace) -> int:
    with Database(args, True) as db:
        if args.format == "flat":
            before = db.Count() or 0

            def imported() -> int | None:
                count = db.Count()
                return None if count is None else count - before

            with morvel.File() as src, Progress(args, "imported") as progress:
                check(src.Open(args.source, False), f"cannot open {args.source}")
                check(progress.watch(lambda: db.ImportFromFlatRecords(src), imported),
                      f"cannot import {args.source}")
        else:
            try:
                source = open(args.source, encoding="utf-8")
            except OSError as error:
                raise Failure(f"cannot open {args.source}: {error.strerror}") from None
            with source, Progress(args, "imported") as progress:
                for number, line in enumerate(source, 1):
                    if not line.strip():
                        continue
                    try:
                        record = json.loads(line)
                    except ValueError as error:
                        raise Failure(f"line {number}: not JSON: {error}") from None
                    if not isinstance(record, dict):
                        raise Failure(f"line {number}: not a JSON object")
                    key = read_json_field(record, "key", number)
                    value = read_json_field(record, "value", number)
                    check(db.Set(key, value), f"line {number}: cannot set the record")
                    progress.step()
    return 0


def cmd_rebuild(args: argparse.Namespace) -> int:
    params = parse_params(args.rebuild_param)
    with Database(args, True) as db, Progress(args, "rebuilt", db.Count()) as progress:
        check(progress.watch(lambda: db.Rebuild(**params)), f"cannot rebuild {args.path}")
    return 0


def cmd_restore(args: argparse.Namespace) -> int:
    with Progress(args, "restored", unit="B") as progress:
        status = progress.watch(
            lambda: morvel.DBM.RestoreDatabase(args.path, args.dest, args.dbm_class,
                                               args.end_offset, ",".join(args.param)),
            file_size(args.dest))
    check(status, f"cannot restore {args.path}")
    return 0


def cmd_check(args: argparse.Namespace) -> int:
    problems = []
    with Database(args, False) as db:
        expected = db.Count()
        with Progress(args, "checked", expected) as progress:
            try:
                for _ in records(db):
                    progress.step()
            except (Failure, morvel.StatusException) as error:
                problems.append(str(error))
        if not db.IsHealthy():
            problems.append("the database is not healthy")
        count = progress.count
        if not problems and expected is not None and expected != count:
            problems.append(f"{count} records read but {expected} counted")
    if problems:
        raise Failure(f"{args.path} is damaged: " + "; ".join(problems))
    print(f"{args.path}: {count} records, all readable")
    return 0


def cmd_search(args: argparse.Namespace) -> int:
    with Database(args, False) as db:
        keys = db.Search(args.mode, arg_bytes(args.pattern), args.capacity)
    for key in keys:
        print(escape(key.encode("utf-8", "surrogateescape")))
    return 0


def progress_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                     help="show a progress bar on stderr (default: when stderr is a "
                     "terminal and tqdm is installed)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Inspect, read, write, copy and repair morvel "
                     "database files. The class of database is chosen by the file name "
                     "extension unless --param dbm=CLASS says otherwise.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    def command(name: str, text: str, func: object,
                param_help: str = "a parameter for opening the database (repeatable), "
                "e.g. dbm=TreeDBM or num_buckets=1000") -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=text, description=text)
        sub.add_argument("path", help="the database file")
        sub.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                         help=param_help)
        sub.set_defaults(func=func)
        return sub

    sub = command("inspect", "Print the properties of a database.", cmd_inspect)
    sub.add_argument("--json", action="store_true", help="print one JSON object")
    command("count", "Print the number of records.", cmd_count)
    sub = command("get", "Print the value of a record.", cmd_get)
    sub.add_argument("key")
    form = sub.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="print the record as JSON")
    form.add_argument("--raw", action="store_true", help="write the value's bytes unescaped")
    sub = command("set", "Set the value of a record, creating the database if needed.",
                  cmd_set)
    sub.add_argument("key")
    sub.add_argument("value")
    sub.add_argument("--no-overwrite", action="store_true",
                     help="fail if the record exists")
    sub = command("remove", "Remove a record.", cmd_remove)
    sub.add_argument("key")
    sub = command("list", "Print records as KEY<tab>VALUE lines, escaped.", cmd_list)
    sub.add_argument("--prefix", help="only keys that start with PREFIX")
    sub.add_argument("--from", dest="low", metavar="KEY",
                     help="start at the first key not below KEY (ordered databases)")
    sub.add_argument("--to", dest="high", metavar="KEY",
                     help="stop before the first key not below KEY (ordered databases)")
    sub.add_argument("--limit", type=int, metavar="N", help="print at most N records")
    sub.add_argument("--json", action="store_true", help="print JSON lines")
    sub = command("export", "Write every record to a file.", cmd_export)
    sub.add_argument("dest", help="the file to write")
    sub.add_argument("--format", choices=["flat", "jsonl"], default="flat",
                     help="flat records (default) or JSON lines")
    progress_option(sub)
    sub = command("import", "Set the records of a file in the database.", cmd_import)
    sub.add_argument("source", help="the file to read")
    sub.add_argument("--format", choices=["flat", "jsonl"], default="flat",
                     help="flat records (default) or JSON lines")
    progress_option(sub)
    sub = command("rebuild", "Rebuild the database file, reclaiming unused space.",
                  cmd_rebuild)
    sub.add_argument("--rebuild-param", action="append", default=[], metavar="NAME=VALUE",
                     help="a tuning parameter for the rebuilt file (repeatable)")
    progress_option(sub)
    sub = command("restore", "Copy the readable records of a damaged database into a new "
                  "one.", cmd_restore,
                  "a tuning parameter of the new database (repeatable)")
    sub.add_argument("dest", help="the new database file")
    sub.add_argument("--class", dest="dbm_class", default="",
                     help="the class of the damaged database (default: from the file)")
    sub.add_argument("--end-offset", type=int, default=-1,
                     help="read only up to this offset (default: to the end)")
    progress_option(sub)
    sub = command("check", "Read every record; exit with status 1 if any is damaged.",
                  cmd_check)
    progress_option(sub)
    sub = command("search", "Print keys that match a pattern.", cmd_search)
    sub.add_argument("mode", help="contain, begin, end, regex, edit, ...")
    sub.add_argument("pattern")
    sub.add_argument("--capacity", type=int, default=0, help="at most this many keys (0: all)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        result: int = args.func(args)
        return result
    except (Failure, morvel.StatusException) as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (| head): not a failure of this command.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
