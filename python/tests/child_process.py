"""Runs a snippet of Python in a child process, for faults that would kill the
interpreter running the tests."""

import subprocess
import sys
import textwrap


def run_child(code, *args):
    """Runs |code| (dedented) with |args| as sys.argv[1:]; returns the finished
    process with its text output captured."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=300)
