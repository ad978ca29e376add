"""docs/api.md names every public name of both modules, in the order of
their __all__, and every method and property of every class."""
import builtins
import pathlib
import re

import pytest

import olvex_core
import olvex_shm

DOC = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "api.md").read_text(encoding="utf-8")
MODULES = {"olvex_core": olvex_core, "olvex_core.shm": olvex_core.shm, "olvex_shm": olvex_shm}
# Attributes every class object has, not API.
NOT_API = {"__module__", "__dict__", "__weakref__", "__doc__"}


def sections(level):
    """{heading: text} for the headings of one level, the text running to the
    next heading of that level or above."""
    marks = "#" * level
    parts = re.split(rf"^({marks} .+)$", DOC, flags=re.M)
    found = {}
    for heading, body in zip(parts[1::2], parts[2::2]):
        body = re.split(r"^#{1,%d} " % level, body, flags=re.M)[0]
        found.setdefault(heading[level + 1:].strip(), []).append(body)
    return found


def module_headings(title):
    body = sections(2)[f"Module `{title}`"][0]
    return re.findall(r"^### (\S+)$", body, flags=re.M)


def public_classes():
    """(name, class) of every class the modules export, and of the outbox
    class a ProcessContext hands out, which is not exported."""
    seen = {}
    for module in MODULES.values():
        for name in module.__all__:
            value = getattr(module, name)
            if isinstance(value, type):
                seen.setdefault(value, name)
    engine = olvex_core.OlvexEngine()
    seen.setdefault(type(olvex_core.ProcessContext(engine.state, {}).outbox), "ProcessContext")
    return [(name, cls) for cls, name in seen.items()]


def members(cls):
    base = next(b for b in cls.__mro__[1:] if getattr(builtins, b.__name__, None) is b)
    return sorted(set(dir(cls)) - set(dir(base)) - NOT_API)


@pytest.mark.parametrize("title", list(MODULES))
def test_every_public_name_has_a_heading_in_the_order_of_all(title):
    assert module_headings(title) == list(MODULES[title].__all__)


CLASSES = public_classes()


@pytest.mark.parametrize("name, cls", CLASSES, ids=[cls.__name__ for _, cls in CLASSES])
def test_every_member_of_every_class_is_named_in_its_section(name, cls):
    text = "\n".join(sections(3).get(name, []))
    assert text, f"no section {name}"
    missing = [m for m in members(cls)
               if not re.search(r"`[^`\n]*(?<!\w)" + re.escape(m) + r"(?!\w)[^`\n]*`", text)]
    assert missing == []


def test_the_panic_class_is_described():
    text = "\n".join(sections(2)["PanicException"])
    assert "BaseException" in text and "type(e).__name__" in text
