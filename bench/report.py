"""Reports of the benchmarks: the helpers every benchmark writes its results with (a log line
with the time since the start, Markdown tables, the machine line, results written as JSON and
Markdown side by side), then the report of the module's loads and sweeps: every figure in
results.md, and the headline ratios against the targets in summary.md."""

import json
import time
from pathlib import Path

from footprint_benchmark import footprint_table
from memory_benchmark import BREAKDOWN_PARTS

RESULTS_DIR = Path(__file__).resolve().parent / "results"

_STARTED = time.time()


def log(message):
    print("[%6.1f s] %s" % (time.time() - _STARTED, message), flush=True)


def markdown_table(header, rows, align):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    return lines + ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]


def verdict(met):
    """The last column of a goal table."""
    return "yes" if met else "**no**"


def write_results(out_dir, stem, results, markdown):
    """Writes STEM.json (every figure) and STEM.md (the report) to `out_dir`."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / (stem + ".json")).write_text(json.dumps(results, indent=1) + "\n", encoding="utf-8")
    (out_dir / (stem + ".md")).write_text(markdown, encoding="utf-8")

TARGET_FILES = ("plants1kp-103taxa-852genes.tre", "birds-363taxa-635genes.tre")
SWEEP_TARGET_FILE_PREFIX = "palaeognaths-14taxa-10000sim-x"


def _mb(value):
    return "%.1f" % (value / 1e6)


def machine_lines(machine):
    return [
        "Machine: %s, %s logical CPUs (`nproc`), %s; %s; load average %.1f when the run started; %s."
        % (machine["cpu"], machine["nproc"], machine["system"], machine["python"],
           machine["load_average"] or 0.0, machine["date"]),  # fmt: skip
        "",
    ]


def _peer_cell(result, treetally_s):
    if "seconds" not in result:
        return result.get("error", "not run")
    return "%.2f s (%.0fx slower)" % (result["seconds"], result["seconds"] / treetally_s)


def load_table(results):
    peers = results.get("peers", [])
    lines = [
        "| file | MB | trees | nodes | floor: read + count lines | treetally `TreeSet(path)` "
        "| ns per node | treetally / floor | first load in a fresh interpreter | "
        + " | ".join(peers) + (" |" if peers else ""),
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|" + "---:|" * len(peers),
    ]
    for row in results["load"]:
        mb = row["bytes"] / 1e6
        cells = [
            row["file"], "%.2f" % mb, str(row["trees"]), str(row["nodes"]),
            "%.4f s (%.0f MB/s)" % (row["floor_s"], mb / row["floor_s"]),
            "%.4f s (**%.0f MB/s**)" % (row["treetally_s"], mb / row["treetally_s"]),
            "%.0f" % (row["treetally_s"] * 1e9 / row["nodes"]),
            "%.1fx" % (row["treetally_s"] / row["floor_s"]),
            "%.4f s (%.0f MB/s, %.1fx the floor)" % (row["first_load_s"], mb / row["first_load_s"],
                                                    row["first_load_s"] / row["floor_s"]),
        ]  # fmt: skip
        cells += [_peer_cell(row["peers"].get(name, {}), row["treetally_s"]) for name in peers]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def _speedup_cell(peer_ns, ours_ns):
    return "%.0f (%.0fx)" % (peer_ns, peer_ns / ours_ns) if peer_ns else "-"


def sweep_table(results):
    lines = [
        "| file | trees | method | treetally ns/tree | peer script, restrict + splits: ns/tree "
        "(treetally's speed-up) | peer script, one-pass walk: ns/tree (speed-up) | same answers |",
        "|---|---:|---|---:|---:|---:|---|",
    ]
    for row in results["sweeps"]:
        for method, entry in row["methods"].items():
            checks = [entry.get("same_answer_restrict"), entry.get("same_answer_walk")]
            same = "-" if checks == [None, None] else ("yes" if all(checks) else "**NO**")
            lines.append("| %s | %d | `%s` | **%.0f** | %s | %s | %s |" % (
                row["file"], row["trees"], method, entry["treetally_ns"],
                _speedup_cell(entry.get("peer_restrict_ns"), entry["treetally_ns"]),
                _speedup_cell(entry.get("peer_walk_ns"), entry["treetally_ns"]),
                same,
            ))  # fmt: skip
    return lines


def memory_table(results):
    lines = [
        "| file | MB | resident after load | resident / file | peak while loading / file |",
        "|---|---:|---:|---:|---:|",
    ]
    for row in results["memory"]:
        lines.append("| %s | %s | %s MB | **%.2fx** | %.2fx |" % (
            row["file"], _mb(row["bytes"]), _mb(row["resident"]),
            row["resident"] / row["bytes"], row["peak"] / row["bytes"],
        ))  # fmt: skip
    with_breakdown = [row for row in results["memory"] if "breakdown" in row]
    if with_breakdown:
        lines += ["", "Where the bytes go (arrays' capacities in bytes per byte of file, from "
                  "`build/bench/treetally_core_bench load`):", "",
                  "| part | " + " | ".join(row["file"] for row in with_breakdown) + " |",
                  "|---|" + "---:|" * len(with_breakdown)]  # fmt: skip
        for key, label in BREAKDOWN_PARTS:
            lines.append("| %s | %s |" % (label, " | ".join(
                "%.2fx" % (row["breakdown"][key] / row["bytes"]) for row in with_breakdown)))  # fmt: skip
        lines.append("| **sum of the arrays** | %s |" % " | ".join(
            "**%.2fx**" % (sum(row["breakdown"][k] for k, _ in BREAKDOWN_PARTS) / row["bytes"])
            for row in with_breakdown))  # fmt: skip
    return lines


def scaling_table(results):
    lines = [
        "| trees | leaves per tree | MB | load s | MB/s | resident MB | resident / file |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for key in ("by_tree_count", "by_tree_size"):
        for point in results["scaling"].get(key, []):
            lines.append("| %d | %d | %s | %.4f | %.0f | %s | %.2fx |" % (
                point["tree_count"], point["leaf_count"], _mb(point["bytes"]), point["load_s"],
                point["bytes"] / 1e6 / point["load_s"], _mb(point["resident"]),
                point["resident"] / point["bytes"],
            ))  # fmt: skip
    return lines


def name_flooding_table(results):
    lines = [
        "| names (8 bytes each) | MB | random names: `TreeSet(path)` | crafted names | "
        "crafted / random | the same in C++: crafted / random |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for row in results["name_flooding"]:
        lines.append("| %d | %s | %.4f s | %.4f s | **%.2fx** | %.2fx |" % (
            row["names"], _mb(row["bytes"]), row["random_s"], row["crafted_s"],
            row["crafted_s"] / row["random_s"], row["core_crafted_s"] / row["core_random_s"],
        ))  # fmt: skip
    return lines


def results_markdown(results, plots):
    lines = ["# Benchmark results", ""] + machine_lines(results["machine"])
    sections = (
        ("load", "Load", load_table, "load_throughput.png"),
        ("sweeps", "Whole-set queries", sweep_table, "sweeps.png"),
        ("footprint", "Memory and first load per file", footprint_table, None),
        ("memory", "Memory", memory_table, "memory_breakdown.png"),
        ("scaling", "Scaling", scaling_table, "scaling.png"),
        ("name_flooding", "Names crafted to collide", name_flooding_table, None),
    )
    for key, title, table, plot in sections:
        if not results.get(key):
            continue
        lines += ["## " + title, ""] + table(results) + [""]
        if plots and plot in plots:
            lines += ["![%s](%s)" % (title, plot), ""]
    for note in results.get("notes", []):
        lines.append("- " + note)
    return "\n".join(lines) + "\n"


def _verdict(met):
    return "met" if met else "**not met**"


def headline(results):
    """(text, target rows) of the figures the targets are stated for, where the run has them."""
    rows = []
    by_file = {row["file"]: row for row in results.get("load", [])}
    peers = results.get("peers", [])
    for name in TARGET_FILES:
        row = by_file.get(name)
        if row is None:
            continue
        mb_s = row["bytes"] / 1e6 / row["treetally_s"]
        floor_ratio = row["treetally_s"] / row["floor_s"]
        peer_seconds = [row["peers"][p]["seconds"] for p in peers if "seconds" in row["peers"].get(p, {})]
        rows.append(("load %s" % name, "%.0f MB/s" % mb_s, ">= 300 MB/s", _verdict(mb_s >= 300)))
        first_mb_s = row["bytes"] / 1e6 / row["first_load_s"]
        rows.append(("load %s, first load in a fresh interpreter" % name, "%.0f MB/s" % first_mb_s,
                     ">= 300 MB/s", _verdict(first_mb_s >= 300)))  # fmt: skip
        rows.append(("load %s vs floor" % name, "%.1fx the floor" % floor_ratio, "<= 10x",
                     _verdict(floor_ratio <= 10)))  # fmt: skip
        if peer_seconds:
            speedup = min(peer_seconds) / row["treetally_s"]
            rows.append(("load %s vs fastest peer" % name, "%.0fx faster" % speedup, ">= 30x",
                         _verdict(speedup >= 30)))  # fmt: skip
    for row in results.get("sweeps", []):
        # The targets are stated for many small trees; other sets are shown for comparison.
        targeted = row["file"].startswith(SWEEP_TARGET_FILE_PREFIX)
        entry = row["methods"]["tally_single_quintet"]
        ns = entry["treetally_ns"]
        rows.append(("quintet sweep, %s (%d trees)" % (row["file"], row["trees"]),
                     "%.0f ns/tree" % ns, "<= 100 ns" if targeted else "-",
                     _verdict(ns <= 100) if targeted else ""))  # fmt: skip
        for form, description in (("restrict", "restrict + splits"), ("walk", "one-pass walk")):
            peer_ns = entry.get("peer_%s_ns" % form)
            if peer_ns:
                speedup = peer_ns / ns
                rows.append(("  vs %s script (%s)" % (row["peer"], description),
                             "%.0fx faster" % speedup, ">= 1000x" if targeted else "-",
                             _verdict(speedup >= 1000) if targeted else ""))  # fmt: skip
    for row in results.get("footprint", []):
        memory = row["resident"] / row["bytes"]
        load = row["first_load_s"] / row["floor_s"]
        if row["memory_goal"] is not None:
            rows.append(("resident memory, %s" % row["file"], "%.2fx the file" % memory,
                         "<= %gx" % row["memory_goal"], _verdict(memory <= row["memory_goal"])))  # fmt: skip
        if row["first_load_goal"] is not None:
            rows.append(("first load, %s" % row["file"], "%.1fx the floor" % load,
                         "<= %gx" % row["first_load_goal"],
                         _verdict(load <= row["first_load_goal"])))  # fmt: skip
    return rows


def summary_markdown(results):
    lines = ["# Benchmark summary", ""] + machine_lines(results["machine"])
    lines += ["| figure | this run | target | |", "|---|---:|---|---|"]
    for name, value, target, verdict in headline(results):
        lines.append("| %s | %s | %s | %s |" % (name, value, target, verdict))
    lines += ["", "Full tables and plots: [results.md](results.md). How to reproduce: "
              "[../README.md](../README.md)."]  # fmt: skip
    return "\n".join(lines) + "\n"
