"""The C++ benchmark tools of the core (bench/core_bench.cpp, bench/table_bench.cpp): built on
request with CMake into build/bench, then asked where the bytes of a loaded set go, how fast
the sweeps and the tables run without the interpreter, and for fingerprints."""

import json
import shutil
import subprocess
from pathlib import Path

from bench_inputs import REPO_ROOT

BUILD_DIR = REPO_ROOT / "build" / "bench"
TOOL = BUILD_DIR / "treetally_core_bench"


def build_core_tool(target="treetally_core_bench", build_dir=BUILD_DIR):
    """Path of the tool `target`, building it first; None (with the reason) when it cannot be
    built."""
    build_dir = Path(build_dir)
    if shutil.which("cmake") is None:
        return None, "cmake not found"
    configure = ["cmake", "-S", str(REPO_ROOT), "-B", str(build_dir), "-DTREETALLY_BUILD_BENCH=ON",
                 "-DTREETALLY_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"]  # fmt: skip
    if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    build = ["cmake", "--build", str(build_dir), "--target", target, "-j", "2"]
    for command in (configure, build):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            return None, "build failed: " + (done.stderr or done.stdout).strip()[-300:]
    return build_dir / target, None


def core_load_report(tool, path, repeats=3):
    """The tool's JSON for `path`: stage times, floor and the memory breakdown."""
    done = subprocess.run(
        [str(tool), "load", str(path), str(repeats)], check=True, capture_output=True, text=True
    )
    return json.loads(done.stdout)


def core_sweep_report(tool, path, names, repeats=5):
    done = subprocess.run(
        [str(tool), "sweep", str(path), str(repeats), *names],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(done.stdout)


def core_names_report(tool, directory, count, repeats=1):
    """The tool's JSON for `count` crafted and `count` random names; it leaves both files, as
    crafted-COUNT.tre and random-COUNT.tre, in `directory`."""
    done = subprocess.run(
        [str(tool), "names", str(directory), str(count), str(repeats)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(done.stdout)
