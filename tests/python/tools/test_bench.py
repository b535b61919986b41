"""The benchmark runner and the parts of the benchmarks that decide a verdict: that the runner
runs what it is asked and says when a benchmark failed, that the Ctrl-C benchmark's child sees
the signal whatever its parent ignores, and that the table check compares every width and
thread count. Times are never checked here."""

import json
import signal
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[3] / "bench"
sys.path.insert(0, str(BENCH))

import run  # noqa: E402


def runner(*arguments):
    return subprocess.run([sys.executable, str(BENCH / "run.py"), *arguments], capture_output=True, text=True)


def test_list_names_every_benchmark_and_its_script_exists():
    listed = runner("--list")
    assert listed.returncode == 0
    for name, (script, _, _) in run.BENCHMARKS.items():
        assert name in listed.stdout
        assert (BENCH / script).is_file()


@pytest.mark.parametrize("arguments", [
    ["--", "--no-peers"],                                  # to which benchmark?
    ["--only", "module", "--only", "tables", "--", "-x"],  # ambiguous
    ["--only", "nonesuch"],
])  # fmt: skip
def test_runner_refuses_unclear_requests(arguments):
    done = runner(*arguments)
    assert done.returncode == 2 and "error" in done.stderr


def test_a_failing_benchmark_fails_the_run_and_the_others_still_run(tmp_path, monkeypatch, capsys):
    (tmp_path / "good.py").write_text("import sys; open(sys.argv[sys.argv.index('--out') + 1] + '/good', 'w')\n")
    (tmp_path / "bad.py").write_text("raise SystemExit(3)\n")
    monkeypatch.setattr(run, "HERE", tmp_path)
    monkeypatch.setattr(run, "BENCHMARKS", {"bad": ("bad.py", [], ""), "good": ("good.py", [], "")})
    assert run.main(["--out", str(tmp_path)]) == 1
    assert (tmp_path / "good").is_file()
    assert "FAILED (exit status 3)" in capsys.readouterr().out


def test_smoke_passes_its_flag_and_removes_its_temporary_reports(tmp_path, monkeypatch):
    seen = tmp_path / "seen.json"
    (tmp_path / "echo.py").write_text(
        "import json, sys\njson.dump(sys.argv[1:], open(%r, 'w'))\n" % str(seen))
    monkeypatch.setattr(run, "HERE", tmp_path)
    monkeypatch.setattr(run, "BENCHMARKS", {"echo": ("echo.py", ["--fixed"], "")})
    assert run.main(["--smoke"]) == 0
    arguments = json.loads(seen.read_text())
    assert arguments[:2] == ["--fixed", "--smoke"] and arguments[2] == "--out"
    assert not Path(arguments[3]).exists()


def test_ctrl_c_child_takes_the_signal_its_parent_ignores(shared_file):
    import interrupt_benchmark

    plants = shared_file("plants1kp-103taxa-852genes.tre")
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)  # as a background job starts it
    try:
        outcome, started, ended, _, sent = interrupt_benchmark.run_child("quintets", plants, 0.5)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert outcome == "KeyboardInterrupt"
    assert started <= sent <= ended


def test_table_check_compares_every_width_and_thread_count(tmp_path):
    import digest

    assert digest.check_tables(smoke=True, out=tmp_path) == 0
    found = json.loads((tmp_path / "digest_check.json").read_text())
    assert found["agree"] is True
    widths = digest.kernel_widths()
    for entry in found["tables"].values():
        assert sorted(entry["runs"]) == sorted("%s jobs %d" % (width, jobs) for width in widths for jobs in (1, 2))
        assert set(entry["runs"].values()) == {entry["sha256"]}
