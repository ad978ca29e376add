"""The shm submodule of olvex_core and the olvex_shm module: one library,
one class object, whichever is imported first."""
import pathlib

import pytest

BANNER = "[OLVEX-CORE] Loaded Version: 3.0.25 (Target Env Build)\n"


def test_shm_submodule(core):
    shm = core.shm
    assert core.__all__[-1] == "shm" and core.__all__.count("shm") == 1
    assert shm.__name__ == "shm" and shm.__doc__ is None
    assert shm.__all__ == ["BufferDescriptor", "MemoryRegistry"]
    from olvex_core import shm as again
    assert again is shm


def test_olvex_shm_library_is_a_symlink():
    import olvex_core
    so = pathlib.Path(olvex_core.__file__)
    link = so.with_name("olvex_shm.abi3.so")
    assert link.is_symlink() and str(link.readlink()) == so.name


@pytest.mark.parametrize("first", ["olvex_shm", "olvex_core"])
def test_one_class_object_whichever_module_comes_first(run_python, first):
    r = run_python(
        f"import sys, {first}\n"
        "print('core loaded:', 'olvex_core' in sys.modules)\n"
        "import olvex_shm, olvex_core\n"
        "assert olvex_shm.BufferDescriptor is olvex_core.shm.BufferDescriptor\n"
        "assert olvex_shm.__doc__ == 'Exposed Python Module' and olvex_shm.__all__ == ['BufferDescriptor']\n"
        "assert not hasattr(olvex_shm, 'MemoryRegistry')\n"
        "assert 'shm' not in sys.modules and 'olvex_core.shm' not in sys.modules\n"
        "m = olvex_shm\n"
        "del sys.modules['olvex_shm']\n"
        "import olvex_shm\n"
        "assert olvex_shm is m\n"
        "try:\n"
        "    import olvex_core.shm\n"
        "except ImportError:\n"
        "    print('no dotted import')\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"core loaded: {first == 'olvex_core'}\nno dotted import\n"
    assert r.stderr == BANNER  # once, from olvex_core alone


def test_olvex_shm_alone_prints_nothing(run_python):
    r = run_python("import olvex_shm\nprint(olvex_shm.BufferDescriptor('a', 1, [1], 'u8'))\n")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout == "<BufferDescriptor name='a' size=1 shape=[1] dtype='u8'>\n"
