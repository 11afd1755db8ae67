"""The user guide's examples: every ```python block of each document in docs/
runs, the document's blocks in order in one namespace, in an empty directory;
and mypy --strict accepts them against the installed stubs. Blocks meant to be
read only are fenced with another info string (```text, ```sh)."""

import os
import re
import subprocess
import sys
import sysconfig

import pytest

import morvel

HERE = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "docs")
DOCUMENTS = sorted(name for name in os.listdir(DOCS) if name.endswith(".md"))

FENCE = re.compile(r"^```(\S*)[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)


def python_blocks(text):
    """(line number, code) of each ```python block of a Markdown text."""
    return [(text.count("\n", 0, match.start()) + 2, match.group(2))
            for match in FENCE.finditer(text) if match.group(1) == "python"]


def as_one_program(document):
    """The blocks of |document| joined, each kept at its own line numbers so
    that a failure points into the document."""
    with open(os.path.join(DOCS, document), encoding="utf-8") as source:
        text = source.read()
    lines = []
    for first_line, code in python_blocks(text):
        lines.extend([""] * (first_line - 1 - len(lines)))
        lines.extend(code.splitlines())
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("text, blocks", [
    ("```python\na = 1\n```\n", [(2, "a = 1\n")]),
    ("x\n```python\na\n```\n```text\nb\n```\n```python\nc\n```\n",
     [(3, "a\n"), (9, "c\n")]),
    ("```python title\nd\n```\n```py\ne\n```\n", []),
])
def test_python_blocks_are_found_with_their_line_numbers(text, blocks):
    assert python_blocks(text) == blocks


@pytest.mark.parametrize("document", DOCUMENTS)
def test_the_examples_run(document, tmp_path):
    program = as_one_program(document)
    assert program.strip(), f"{document} has no python block"
    # A separate interpreter, as a reader would run them: nothing is shared
    # with this process (open handles, loaded modules, the directory).
    path = tmp_path / "guide_examples.py"
    path.write_text(program)
    work = tmp_path / "work"
    work.mkdir()
    result = subprocess.run([sys.executable, str(path)], cwd=work, capture_output=True,
                            text=True)
    assert result.returncode == 0, (
        result.stderr.replace(str(path), os.path.join("docs", document)))


@pytest.mark.parametrize("document", DOCUMENTS)
def test_the_examples_type_check_strictly(document, tmp_path):
    pytest.importorskip("mypy")
    if os.path.dirname(morvel.__file__) != sysconfig.get_paths()["platlib"]:
        pytest.skip("morvel is not the installed module, so its stubs are not found")
    path = tmp_path / (os.path.splitext(document)[0] + "_examples.py")
    path.write_text(as_one_program(document))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             str(path)], capture_output=True, text=True, cwd=HERE)
    assert result.returncode == 0, result.stdout
