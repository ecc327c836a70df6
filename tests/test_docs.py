"""The user's guide stays true: its Python examples run as doctests, and its command-line
examples print what the guide shows."""

from __future__ import annotations

import doctest
import re
import shlex
from pathlib import Path

import pytest

from vantrel.indicators import cli

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(DOCS.glob("*.md")) if DOCS.is_dir() else []


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_python_examples(page):
    result = doctest.testfile(str(page), module_relative=False, report=False, verbose=False,
                              optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert result.failed == 0, f"{page.name}: {result.failed} of {result.attempted} failed"


def console_examples(text: str):
    """(command, expected lines) for each `$ vantrel-indicators ...` line of the console
    blocks that reads no file of its own; a `...` line ends what is compared."""
    for block in re.findall(r"```console\n(.*?)```", text, flags=re.S):
        for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, *expected = chunk.rstrip("\n").split("\n")
            if "--input" not in command:
                yield command, expected


EXAMPLES = list(console_examples((DOCS / "cli.md").read_text(encoding="utf-8"))) if PAGES else []


@pytest.mark.parametrize(("command", "expected"), EXAMPLES, ids=[c for c, _ in EXAMPLES])
def test_command_line_examples(capsys, command, expected):
    command, _, head = command.partition(" | head -")
    cli.main(shlex.split(command)[1:])
    out, err = capsys.readouterr()
    lines = (out + err).splitlines()
    if head:
        lines = lines[: int(head)]
    if "..." in expected:
        expected = expected[: expected.index("...")]
        lines = lines[: len(expected)]
    assert lines == expected
