"""ConfigLoader as Python sees it; the document rules themselves are
checked case by case in C++ (tests/cpp/test_schema_config.cpp)."""
import inspect

import pytest

ACCEPTED = """\
context:
  global:
    x:
      type: string
      required: false
      default: "3"
  domain:
    y: {type: string}
    z:
"""


def test_class_surface(core):
    cls = core.ConfigLoader
    assert cls.__module__ == "olvex_core"
    assert core.__all__.index("ConfigLoader") + 1 == core.__all__.index("SchemaViolationError")
    with pytest.raises(TypeError, match="^No constructor defined for ConfigLoader$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert isinstance(vars(cls)["load_from_string"], staticmethod)
    assert str(inspect.signature(cls.load_from_string)) == "(content)"


TAGS_64 = "".join(f"%TAG !t{i}! tag:t{i}:\n" for i in range(64))


@pytest.mark.parametrize(
    "text", [ACCEPTED, "{}", "context:", "context: ~", "---", pytest.param(TAGS_64 + "---\ncontext:", id="tags")]
)
def test_accepted_documents_return_none(core, text):
    assert core.ConfigLoader.load_from_string(text) is None
    assert core.ConfigLoader.load_from_string(content=text) is None


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value"),
        ("a: 1\n---\nb: 2\n", "deserializing from YAML containing more than one document is not supported"),
        (ACCEPTED.replace("required: false", "required: \"false\""),
         'context.global.x.required: invalid type: string "false", expected a boolean at line 5 column 17'),
        ("context:\n  global: ~\n", "context.global: invalid type: unit value, expected a map at line 2 column 11"),
        ("ctx: {}", "unknown field `ctx`, expected `context` at line 1 column 1"),
        ("[" * 100_000, "collections nest more than 128 deep at line 1 column 129"),
        ("a: &a [" + "x, " * 999 + "x]\nb: [" + ", ".join(["*a"] * 1001) + "]\n",
         "more than 1000000 nodes are reachable through aliases at line 2 column 4001"),
        (TAGS_64 + "%TAG !x! tag:x:\n---\ncontext:",
         "more than 64 %TAG directives in one document at line 65 column 1"),
    ],
    ids=["empty", "two-documents", "quoted-required", "null-global", "unknown-root-key", "deep", "aliases", "tags"],
)
def test_refused_documents_raise_schema_violations(core, text, message):
    with pytest.raises(core.SchemaViolationError) as e:
        core.ConfigLoader.load_from_string(text)
    assert e.value.args == ("Config Error: " + message,)


@pytest.mark.parametrize(
    "content, error, message",
    [
        (b"context:", TypeError, "argument 'content': 'bytes' object cannot be converted to 'PyString'"),
        (None, TypeError, "argument 'content': 'NoneType' object cannot be converted to 'PyString'"),
        ("context: \ud800", UnicodeEncodeError, None),
    ],
)
def test_content_must_be_text(core, content, error, message):
    with pytest.raises(error) as e:
        core.ConfigLoader.load_from_string(content)
    if message:
        assert str(e.value) == message
