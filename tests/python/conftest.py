import os
import subprocess
import sys

import pytest


@pytest.fixture(scope="session")
def core():
    import olvex_core

    return olvex_core


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (first imports, process-wide
    tables, interpreter exit) and returns the completed process. The
    snippets check with assert, so PYTHONOPTIMIZE is not passed on."""

    def run(code, timeout=60, **kw):
        env = dict(os.environ)
        env.pop("PYTHONOPTIMIZE", None)
        return subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
            **kw,
        )

    return run


@pytest.fixture
def watchdog():
    """Arms a deadlock watchdog: after `seconds` the run ends with every
    thread's traceback. Disarmed when the test ends."""
    import faulthandler

    yield lambda seconds: faulthandler.dump_traceback_later(seconds, exit=True)
    faulthandler.cancel_dump_traceback_later()
