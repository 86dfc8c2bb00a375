"""Every Python block of the README runs on its own, as a reader would paste it: in a fresh
interpreter, in an empty folder, with nothing from the blocks before it. Each block states what it
shows, by assertions or by printing: the comment lines right after a line that starts with
`print(` show what it prints, and the block's whole output must read as they show it."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kavro_sdr

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
SHOWN = re.compile(r"^[ \t]*print\(.*\n((?:[ \t]*#.*\n)+)", re.MULTILINE)
# A number as printed, not a digit inside a word such as K1ABC, FN42 or R-13.
NUMBER = re.compile(r"(?<![\w.-])(-?\d+(?:\.\d+)?)(?![\w.])")


def python_blocks():
    """(line of the opening fence, code) of each ```python block."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


def shown_output(code):
    """The output the block's comments show: each comment line after a print, less its '# '."""
    lines = [line for run in SHOWN.findall(code) for line in run.splitlines()]
    return "\n".join(re.sub(r"^\s*# ?", "", line) for line in lines)


def reads_as_shown(printed, shown):
    """The same text, numbers with a decimal point within one unit of the last digit shown (a
    rounding that falls the other way on another machine), other numbers equal."""
    printed, shown = ("\n".join(line.rstrip() for line in text.strip().splitlines()) for text in (printed, shown))
    printed_parts, shown_parts = NUMBER.split(printed), NUMBER.split(shown)
    if len(printed_parts) != len(shown_parts):
        return False
    for k, (p, s) in enumerate(zip(printed_parts, shown_parts)):
        if k % 2 == 0 or "." not in s:
            if p != s:
                return False
        elif abs(float(p) - float(s)) > 1.000001 * 10.0 ** -len(s.split(".")[1]):
            return False
    return True


BLOCKS = python_blocks()


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 2


def test_output_reads_as_shown_only_within_the_last_digit():
    assert reads_as_shown("[{'freq_hz': 1499.96, 'snr_db': -12.0}]\n", "[{'freq_hz': 1500.0, 'snr_db': -11.9}]")
    assert not reads_as_shown("[{'freq_hz': 1499.8, 'snr_db': -11.9}]", "[{'freq_hz': 1500.0, 'snr_db': -11.9}]")
    assert not reads_as_shown("[]", "[{'text': 'CQ K1ABC FN42'}]")
    assert not reads_as_shown("K2ABC R-14 3", "K1ABC R-13 3") and not reads_as_shown("K1ABC 4", "K1ABC 3")


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_block_runs_alone_and_shows_what_it_prints(tmp_path, line, code):
    shown = shown_output(code)
    assert shown or "assert " in code, f"README.md line {line}: the block neither asserts nor shows its output"
    # The module, and the examples a block imports as a reader at the top of the tree would.
    path = os.pathsep.join([str(Path(kavro_sdr.__file__).parent), str(README.parent / "examples")])
    environment = dict(os.environ, PYTHONPATH=path)
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=environment, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, f"README.md line {line}:\n{result.stderr}"
    assert reads_as_shown(result.stdout, shown), f"README.md line {line} prints\n{result.stdout}\nnot\n{shown}"
