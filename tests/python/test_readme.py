"""Every Python block of the README runs on its own, as a reader would paste it: in a fresh
interpreter, in an empty folder, with nothing from the blocks before it."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kavro_sdr

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def python_blocks():
    """(line of the opening fence, code) of each ```python block."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


BLOCKS = python_blocks()


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_block_runs_alone(tmp_path, line, code):
    # The module, and the examples a block imports as a reader at the top of the tree would.
    path = os.pathsep.join([str(Path(kavro_sdr.__file__).parent), str(README.parent / "examples")])
    environment = dict(os.environ, PYTHONPATH=path)
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=environment, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, f"README.md line {line}:\n{result.stderr}"
