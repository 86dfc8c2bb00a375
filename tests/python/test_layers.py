"""The library's folders stand in layers (the README's Layout): a file under src/ includes from its
own layer and those below it, never from one above."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"
# From the ground up; folders on one line share a layer.
LAYERS = [("core", "message"), ("fec", "dsp"), ("multicarrier", "codec"), ("waveform",), ("sync",),
          ("modulate",), ("demodulate",), ("python",)]
LAYER_OF = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]+"([^"/]+)/', re.MULTILINE)


def upward_includes():
    """'file:line: includes folder/' for each include of a higher layer."""
    found = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        own = path.relative_to(SRC).parts[0]
        text = path.read_text(encoding="utf-8")
        for match in INCLUDE.finditer(text):
            target = match.group(1)
            if LAYER_OF.get(target, -1) > LAYER_OF[own]:
                line = text.count("\n", 0, match.start()) + 1
                found.append(f"src/{path.relative_to(SRC)}:{line}: includes {target}/")
    return found


def test_every_source_folder_has_a_layer():
    assert sorted(p.name for p in SRC.iterdir() if p.is_dir()) == sorted(LAYER_OF)


def test_no_include_runs_up_the_layers():
    assert upward_includes() == []
