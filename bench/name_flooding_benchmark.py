"""Name flooding: `TreeSet(path)` of one tree of names crafted to collide in the name table's
former hash (unseeded and invertible, so a file could pile all its names into one probe run of
the table) against one tree of as many random names of the same length. The C++ tool crafts
both files by inverting that hash; the table's keyed hash must load them alike."""

import treetally

from core_tool import core_names_report
from timing import best_seconds

NAME_COUNTS = (64000, 200000)


def measure_name_flooding(tool, scratch, counts, repeats, log):
    """One row per name count: file bytes, and seconds of the two loads in Python and in C++."""
    rows = []
    for count in counts:
        core = core_names_report(tool, scratch, count)
        row = {"names": count, "bytes": core["bytes"],
               "core_random_s": core["random_load_s"], "core_crafted_s": core["crafted_load_s"]}  # fmt: skip
        for kind in ("random", "crafted"):
            path = str(scratch / ("%s-%d.tre" % (kind, count)))
            row[kind + "_s"] = best_seconds(lambda: treetally.TreeSet(path), repeats)
        log("names %d: crafted %.4f s, random %.4f s (%.2fx)"
            % (count, row["crafted_s"], row["random_s"], row["crafted_s"] / row["random_s"]))  # fmt: skip
        rows.append(row)
    return rows
