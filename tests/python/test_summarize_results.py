"""The closing summary of a test run: it refuses runs that checked nothing."""
import pathlib
import subprocess
import sys

import pytest

TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "summarize-results"

PASS = '<testcase classname="S" name="ok"/>'
FAIL = '<testcase classname="S" name="bad"><failure message="no"/></testcase>'
SKIP_KNOWN = '<testcase classname="S" name="sk"><skipped message="needs a GPU"/></testcase>'
SKIP_OTHER = '<testcase classname="S" name="sk"><skipped type="pytest.skip" message="not in this build"/></testcase>'
SKIP_BARE = '<testcase classname="S" name="sk"><skipped/></testcase>'
DISABLED = '<testcase classname="S" name="DISABLED_x" status="notrun" result="suppressed"/>'


def suite(*cases):
    return f'<testsuites><testsuite name="S">{"".join(cases)}</testsuite></testsuites>'


@pytest.mark.parametrize(
    "files, expect, ok, says",
    [
        ({"test_a": suite(PASS), "pytest": suite(PASS, PASS)}, ["test_a", "pytest"], True, "3 passed"),
        ({"test_a": suite(PASS, SKIP_KNOWN), "pytest": suite(PASS)}, ["test_a", "pytest"], True, "1 skipped"),
        ({"test_a": suite(PASS), "pytest": suite(PASS, FAIL)}, ["test_a", "pytest"], False, "1 failed"),
        ({"pytest": suite(PASS)}, ["test_a", "pytest"], False, "test_a: no result file"),
        ({"test_a": suite(), "test_b": suite(PASS), "pytest": suite(PASS)}, ["test_a", "test_b", "pytest"], False,
         "test_a: no passing case"),
        ({"test_a": suite(DISABLED), "pytest": suite(SKIP_OTHER, SKIP_OTHER)}, ["test_a", "pytest"], False,
         "0 passed, 0 failed, 3 skipped"),
        ({"test_a": suite(PASS, DISABLED), "pytest": suite(PASS)}, ["test_a", "pytest"], False, "without a reason"),
        ({"test_a": suite(PASS), "pytest": suite(PASS, SKIP_OTHER)}, ["test_a", "pytest"], False,
         "(not in this build), which is not a known reason"),
        ({"test_a": suite(PASS, SKIP_BARE), "pytest": suite(PASS)}, ["test_a", "pytest"], False, "without a reason"),
        ({"test_a": "<testsuites>", "pytest": suite(PASS)}, ["test_a", "pytest"], False, "unreadable"),
        ({"pytest": suite(PASS)}, [], False, "names no result file"),
    ],
    ids=["all-pass", "known-skip", "failure", "missing-file", "silent-binary", "only-skips",
         "disabled", "unknown-skip", "skip-without-reason", "broken-file", "nothing-expected"],
)
def test_summary_accepts_only_runs_that_checked_everything(tmp_path, files, expect, ok, says):
    results = tmp_path / "results"
    results.mkdir()
    for name, text in files.items():
        (results / f"{name}.xml").write_text(text)
    (tmp_path / "expected").write_text("".join(f"{n}\n" for n in expect))
    (tmp_path / "known").write_text("# comment\nneeds a GPU\n")
    r = subprocess.run(
        [sys.executable, str(TOOL), str(results), "--expect", str(tmp_path / "expected"),
         "--known-skips", str(tmp_path / "known")],
        capture_output=True, text=True, timeout=60,
    )
    assert (r.returncode == 0) == ok, r.stdout + r.stderr
    assert says in r.stdout + r.stderr
    assert r.stdout.splitlines()[-1].startswith("total: ")
