"""Runs every benchmark module (bench/bench_*.py, each with rows()) and the
C++ microbenchmarks, prints one table and writes bench/results.json."""
import argparse
import importlib
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def python_rows():
    out = []
    for path in sorted(HERE.glob("bench_*.py")):
        mod = importlib.import_module(path.stem)
        for r in mod.rows():
            r.setdefault("source", path.stem)
            out.append(r)
    return out


def cpp_rows(cpp_dir):
    out = []
    if not cpp_dir:
        return out
    goals = json.loads((HERE / "cpp" / "goals.json").read_text()) if (HERE / "cpp" / "goals.json").exists() else {}
    for exe in sorted(pathlib.Path(cpp_dir).glob("bench_*")):
        if not exe.is_file() or exe.suffix:
            continue
        res = subprocess.run([str(exe), "--benchmark_format=json", "--benchmark_repetitions=5",
                              "--benchmark_report_aggregates_only=true"],
                             capture_output=True, text=True, check=True)
        for b in json.loads(res.stdout)["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"]
            unit = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
            out.append({"name": name, "ns_per_call": b["real_time"] * unit, "goal_ns": goals.get(name),
                        "ratio": None, "goal_ratio": None, "note": "C++", "source": exe.name})
    # A goal may also be a ratio to another row: {"baseline": name, "goal_ratio": r}.
    by_name = {r["name"]: r for r in out}
    for r in out:
        goal = r["goal_ns"]
        if isinstance(goal, dict):
            base = by_name[goal["baseline"]]["ns_per_call"]
            r.update(goal_ns=goal.get("goal_ns"), ratio=r["ns_per_call"] / base, goal_ratio=goal["goal_ratio"],
                     note=f"C++, ratio to {goal['baseline']}")
    return out


def verdict(r):
    ok = True
    if r.get("goal_ns") is not None:
        ok &= r["ns_per_call"] <= r["goal_ns"]
    if r.get("goal_ratio") is not None and r.get("ratio") is not None:
        ok &= r["ratio"] <= r["goal_ratio"]
    return "ok" if ok else "MISS"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cpp-dir", default=None)
    args = ap.parse_args()
    rows = python_rows() + cpp_rows(args.cpp_dir)
    w = max(len(r["name"]) for r in rows)
    print(f"{'benchmark':<{w}}  {'ns/call':>10}  {'goal':>8}  {'ratio':>6}  {'goal':>5}  result  note")
    for r in rows:
        goal = f"{r['goal_ns']:.0f}" if r.get("goal_ns") is not None else "-"
        ratio = f"{r['ratio']:.3g}" if r.get("ratio") is not None else "-"
        gr = f"{r['goal_ratio']:.3g}" if r.get("goal_ratio") is not None else "-"
        print(f"{r['name']:<{w}}  {r['ns_per_call']:>10.1f}  {goal:>8}  {ratio:>6}  {gr:>5}  {verdict(r):>6}  {r.get('note', '')}")
    (HERE / "results.json").write_text(json.dumps(rows, indent=2) + "\n")


if __name__ == "__main__":
    main()
