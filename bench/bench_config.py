"""ConfigLoader.load_from_string of a generated 1,000-field schema (block
and flow styles mixed). The same text, bench/data/schema_1000.yaml, feeds
the C++ row that compares the check with a bare libyaml event pass; run
this file to write it again."""
import pathlib

from harness import ns_per_call, row

FIELDS = 1000
GOAL_NS = 6_000_000
DATA = pathlib.Path(__file__).resolve().parent / "data" / "schema_1000.yaml"


def schema(fields=FIELDS):
    out = ["# A generated schema configuration: bench/bench_config.py writes it.", "context:"]
    for zone in ("global", "domain"):
        out.append(f"  {zone}:")
        for i in range(fields // 2):
            name = f"{zone}_field_{i:04d}"
            style = i % 4
            if style == 0:
                out += [f"    {name}:", "      type: string", "      required: false",
                        f'      default: "value {i}"']
            elif style == 1:
                out.append(f"    {name}: {{type: integer, required: true, default: '{i * 7}'}}")
            elif style == 2:
                out.append(f"    {name}:  # required")
            else:
                out += [f"    {name}:", "      type: float  # in seconds", "      default: ~"]
    return "\n".join(out) + "\n"


def rows():
    from olvex_core import ConfigLoader

    text = DATA.read_text()
    assert text == schema(), "bench/data/schema_1000.yaml is stale: run bench/bench_config.py"
    load = ConfigLoader.load_from_string
    assert load(text) is None
    cost = ns_per_call(lambda: load(text), number=20)
    return [
        row(f"ConfigLoader.load_from_string, {FIELDS:,} fields", cost, goal_ns=GOAL_NS,
            note=f"{len(text.encode()) / 1000:.0f} KB, block and flow"),
    ]


if __name__ == "__main__":
    DATA.write_text(schema())
    print(f"wrote {DATA} ({len(schema())} bytes)")
