"""Runs the ```python blocks of a Markdown file in order, statement by
statement, in one namespace, and checks the result comments:

    expr            # -> literal       the value equals the literal (same types)
    expr            # ~> text          repr(value) matches text, "..." matching anything
    stmt            # !> Error: text   the statement raises Error whose message matches text

A `!>` message may go on over comment lines indented by three spaces or
more; two spaces then `#` end a marker and start a remark. A marker may also
stand alone on the comment line right after its statement. A statement
without a `!>` marker must not raise.

Usage: readme_runner.py FILE.md SUMMARY.json; exit status 1 lists every
mismatch (and stops at the first unexpected exception).
"""
import ast
import io
import json
import re
import sys
import tokenize

FENCE = re.compile(r"^```python\n(.*?)^```", re.M | re.S)
MARKER = re.compile(r"#\s*(->|~>|!>)\s?(.*)$")


def python_blocks(text):
    """(first line number in the file, code) of each python block."""
    for m in FENCE.finditer(text):
        yield text.count("\n", 0, m.start(1)) + 1, m.group(1)


def comments_by_line(code):
    found = {}
    for tok in tokenize.generate_tokens(io.StringIO(code).readline):
        if tok.type == tokenize.COMMENT:
            found[tok.start[0]] = (tok.start[1], tok.string)
    return found


def wildcard(text):
    return re.compile(".*?".join(re.escape(part) for part in text.split("...")), re.S)


def same(value, expected):
    """Equality that also tells 1 from True and tuples from lists."""
    if type(value) is not type(expected):
        return False
    if isinstance(expected, (list, tuple)):
        return len(value) == len(expected) and all(same(a, b) for a, b in zip(value, expected))
    if isinstance(expected, dict):
        return list(value) == list(expected) and all(same(value[k], expected[k]) for k in expected)
    return value == expected


class Statement:
    def __init__(self, node, marker, line):
        self.node, self.marker, self.line = node, marker, line


def marked_statements(code):
    """Each top-level statement with its marker (kind, text) or None."""
    lines = code.splitlines()
    comments = comments_by_line(code)
    tree = ast.parse(code)
    for i, node in enumerate(tree.body):
        marker = None
        span = list(range(node.lineno, node.end_lineno + 1))
        # A marker on its own comment line right after the statement.
        nxt = node.end_lineno + 1
        if nxt in comments and not lines[nxt - 1][: comments[nxt][0]].strip():
            if MARKER.match(comments[nxt][1]):
                span.append(nxt)
        for n in span:
            if n not in comments:
                continue
            m = MARKER.search(comments[n][1])
            if not m:
                continue
            if marker:
                raise SyntaxError(f"line {n}: a second marker for one statement")
            kind, text = m.group(1), m.group(2)
            if kind == "!>":
                # The message goes on over deeper-indented comment-only lines.
                k = n + 1
                while k in comments and not lines[k - 1][: comments[k][0]].strip():
                    more = comments[k][1]
                    if not more.startswith("#   "):
                        break
                    text += " " + more[1:].strip()
                    k += 1
            text = text.split("  #")[0].strip()
            marker = (kind, text, n)
        yield Statement(node, marker, node.lineno)


def check(st, path, first, namespace):
    """The mismatch of one statement, or None; raises Stop on an exception
    nobody announced."""
    node = ast.increment_lineno(st.node, first - 1)
    where = f"{path}:{st.line + first - 1}"
    kind, expected, _ = st.marker or (None, None, None)
    value_of = body = None
    if isinstance(node, ast.Expr):
        value_of = compile(ast.Expression(node.value), path, "eval")
    else:
        body = compile(ast.Module(body=[node], type_ignores=[]), path, "exec")
        if isinstance(node, ast.Assign) and len(node.targets) == 1:
            value_of = compile(ast.unparse(node.targets[0]), path, "eval")
    if kind in ("->", "~>") and value_of is None:
        return f"{where}: a result marker on a statement with no value"
    try:
        if body is not None:
            exec(body, namespace)
        value = eval(value_of, namespace) if value_of is not None else None
    except BaseException as e:  # the README may announce any exception
        if kind != "!>":
            raise Stop(f"{where}: raised {type(e).__name__}: {e}")
        name, colon, message = expected.partition(":")
        if type(e).__name__ != name.strip() or (colon and not wildcard(message.strip()).fullmatch(str(e))):
            return f"{where}: raised {type(e).__name__}: {e!s}, not {expected}"
        return None
    if kind == "!>":
        return f"{where}: did not raise {expected}"
    if kind == "->":
        try:
            literal = ast.literal_eval(expected)
        except (ValueError, SyntaxError):
            return f"{where}: not a literal: {expected}"
        if not same(value, literal):
            return f"{where}: {value!r}, not {expected}"
    if kind == "~>" and not wildcard(expected).fullmatch(repr(value)):
        return f"{where}: {value!r} does not match {expected}"
    return None


class Stop(Exception):
    pass


def run(path):
    text = open(path, encoding="utf-8").read()
    namespace = {"__name__": "__main__"}
    failures, checks, statements = [], 0, 0
    try:
        for first, code in python_blocks(text):
            for st in marked_statements(code):
                statements += 1
                checks += st.marker is not None
                failure = check(st, path, first, namespace)
                if failure:
                    failures.append(failure)
    except Stop as stop:
        failures.append(str(stop))
    return failures, checks, statements


def main(path, summary):
    failures, checks, statements = run(path)
    with open(summary, "w") as out:
        json.dump({"failures": failures, "checks": checks, "statements": statements}, out)
    for f in failures:
        print(f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
