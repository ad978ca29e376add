"""The README's python blocks run as written, in order, in one fresh
interpreter started in an empty folder, and every result comment holds."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUNNER = pathlib.Path(__file__).with_name("readme_runner.py")


def run_markdown(path, cwd):
    summary = cwd / "summary.json"
    env = dict(os.environ)
    # The blocks run elsewhere: the built modules' folder must not be relative.
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    proc = subprocess.run([sys.executable, str(RUNNER), str(path), str(summary)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=300)
    return proc, json.loads(summary.read_text())


def test_readme_runs_as_written(tmp_path):
    folder = tmp_path / "empty"
    folder.mkdir()
    proc, summary = run_markdown(ROOT / "README.md", folder)
    assert summary["failures"] == [], proc.stderr
    assert proc.returncode == 0
    assert summary["statements"] > 100 and summary["checks"] > 50


@pytest.mark.parametrize("block, failure", [
    ("1 + 1  # -> 3", "2, not 3"),
    ("True  # -> 1", "True, not 1"),
    ("(1, 2)  # -> [1, 2]", "(1, 2), not [1, 2]"),
    ("x = 2  # -> 3", "2, not 3"),
    ("object()  # ~> <list object at 0x...>", "does not match"),
    ("1 + 1  # !> ValueError", "did not raise ValueError"),
    ("int('x')  # !> ValueError: bad", "not ValueError: bad"),
    ("int('x')  # !> TypeError: ...", "not TypeError"),
    ("{}['k']\n# !> KeyError:\n#   'other'", "not KeyError: 'other'"),
    ("1 + 1\n# -> 3", "2, not 3"),
    ("for i in []: pass  # -> 1", "a result marker on a statement with no value"),
    ("int('x')", "raised ValueError"),
    ("undefined_name", "raised NameError"),
])
def test_runner_reports_each_mismatch(tmp_path, block, failure):
    doc = tmp_path / "doc.md"
    doc.write_text(f"text\n\n```python\n{block}\n```\n")
    proc, summary = run_markdown(doc, tmp_path)
    assert proc.returncode == 1
    assert len(summary["failures"]) == 1 and failure in summary["failures"][0]
    assert summary["failures"][0].startswith(f"{doc}:4: ")


def test_runner_accepts_true_comments_and_stops_at_the_first_unannounced_raise(tmp_path):
    doc = tmp_path / "doc.md"
    doc.write_text(textwrap.dedent("""\
        ```python
        import itertools
        x = [1, 2]                  # -> [1, 2]
        x[0], "a"                   # -> 1, 'a'  # a remark after two spaces
        object()                    # ~> <object object at 0x...>
        int("x")                    # !> ValueError: invalid literal for int() with base 10: 'x'
        {}["key"]                   # !> KeyError: ...
        [].pop()                    # !> IndexError: pop from
                                    #   empty list
        ```

        ```python
        next(itertools.count(x[1]))
        # -> 2
        1 / 0
        never_reached
        ```
        """))
    proc, summary = run_markdown(doc, tmp_path)
    assert summary["failures"] == [f"{doc}:15: raised ZeroDivisionError: division by zero"]
    assert summary["statements"] == 9 and summary["checks"] == 7
