"""The source tree's layers include only downwards: a file may include its
own folder and the folders below it, never one above."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
BELOW = {
    "support": set(),
    "py": set(),
    "state": {"py", "support"},
    "engine": {"py", "support", "state"},
    "access": {"py", "support", "state", "engine"},
    "flux": {"py", "support"},
    "shm": {"py", "support"},
}
INCLUDE = re.compile(r'^#include "([a-z_]+)/', re.M)


@pytest.mark.parametrize("layer", sorted(BELOW))
def test_a_layer_includes_only_itself_and_what_lies_below(layer):
    allowed = BELOW[layer] | {layer}
    wrong = sorted(
        f"{path.relative_to(SRC)} includes {folder}/"
        for path in (SRC / layer).iterdir()
        if path.suffix in (".cpp", ".hpp")
        for folder in INCLUDE.findall(path.read_text())
        if folder not in allowed
    )
    assert not wrong


def test_every_folder_of_the_tree_has_its_place():
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert folders == set(BELOW)
