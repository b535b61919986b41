#!/usr/bin/env bash
# Installs what the checks need, builds the core as few times as they allow, and runs every
# check CI makes, each as a timed step. A failed step does not stop the ones after it; the
# end lists each step's seconds and outcome and the closing line of every pytest run, and the
# exit status is 1 when any step failed.
#   bash tests/run_all.sh           everything CI runs
#   bash tests/run_all.sh --quick   the C++ suite and the Python suite under one interpreter
#
# How the work is shared out:
# - one Release build of the core: the C++ tests' build uses the wheel's flags (hidden
#   visibility, warnings as errors), so ccache hands the wheel build the same objects;
# - one sanitized (ASan + UBSan) build, shared the same way by the sanitized C++ tests and
#   the sanitized wheel (tests/hardening.sh), and the fuzzers' clang build;
# - the full Python suite under the oldest and the newest CPython, an import-and-contract
#   subset under the others, all from the one cp38-abi3 wheel; two pytest-xdist workers,
#   then the tests marked serial alone; tests marked slow under the oldest only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *)
        echo "usage: tests/run_all.sh [--quick]" >&2
        exit 2
        ;;
esac

# The interpreter-independent import-and-contract subset: both native modules and a smoke of
# the companion package's tallies.
CONTRACT_TESTS=(module/test_module_contract.py tools/test_engine.py tools/test_tallies.py)

# shellcheck source=tests/ci_common.sh
. tests/ci_common.sh

summary_file=$(mktemp)
export TREETALLY_PYTEST_LINES
TREETALLY_PYTEST_LINES=$(mktemp)
trap 'rm -f "$summary_file" "$TREETALLY_PYTEST_LINES"' EXIT
failed_steps=0

# Runs one step in a subshell with errexit on (a function called from an `if` or `||` would
# run with errexit off), and notes its seconds and outcome.
step() {
    local name=$1 started=$SECONDS status=0
    shift
    log "$name"
    set +e
    (
        set -e
        "$@"
    )
    status=$?
    set -e
    local outcome=ok
    if [ "$status" != 0 ]; then
        outcome="FAILED (status $status)"
        failed_steps=$((failed_steps + 1))
    fi
    printf -- '--- %s: %d s, %s\n' "$name" $((SECONDS - started)) "$outcome"
    printf '%6d s  %-55s %s\n' $((SECONDS - started)) "$name" "$outcome" >>"$summary_file"
}

# Everything every step needs, in one apt-get run: the compilers, GoogleTest and ccache, and
# for the full run valgrind, clang 16 with its sanitizer runtimes (fuzzers), clang-tidy and
# cppcheck. cmake and ninja come from pip when missing.
install_tools() {
    local packages=(g++ libgtest-dev ccache)
    [ "$quick" = 1 ] || packages+=(valgrind clang-16 libclang-rt-16-dev clang-tidy-16 cppcheck)
    apt_install_missing "${packages[@]}"
    if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
        python3 -m pip install -q cmake ninja
    fi
    ccache --version | head -1
}

# Every CPython 3.8 or later on the machine, oldest first: pyenv's, else the python3 on PATH.
python_interpreters() {
    local found=""
    if command -v pyenv >/dev/null; then
        local prefix dir
        prefix=$(pyenv root)/versions
        for dir in "$prefix"/3.*; do
            local version=${dir##*/}
            local minor=${version#3.}
            minor=${minor%%.*}
            if [[ "$version" =~ ^3\.[0-9]+\.[0-9]+$ ]] && [ "$minor" -ge 8 ] && [ -x "$dir/bin/python" ]; then
                found+="$dir/bin/python"$'\n'
            fi
        done
    fi
    if [ -n "$found" ]; then
        printf '%s' "$found" | sort -V
    else
        command -v python3
    fi
}

# The interpreter that builds the wheel: the oldest CPython 3.8+ on the machine, since the
# cp38-abi3 wheel targets its headers, and 3.8's differ from later ones (they declare
# PyInit_* without a visibility attribute); a build with a newer interpreter hides that.
build_python() {
    python_interpreters | head -1
}

version_of() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

build_cpp() {
    cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DTREETALLY_WERROR=ON \
        -DCMAKE_CXX_VISIBILITY_PRESET=hidden -DCMAKE_VISIBILITY_INLINES_HIDDEN=ON >/dev/null
    cmake --build build/tests -j "$jobs"
}

build_wheel() {
    rm -rf dist
    # Warnings are errors here too, which also keeps the core's compile lines equal to those
    # of the C++ tests' build, so ccache serves its objects from there.
    "$(build_python)" -m pip wheel -q . -w dist --no-deps \
        --config-settings cmake.define.TREETALLY_WERROR=ON
    ls dist/*cp38-abi3*.whl
}

# A venv of the given interpreter (made once per run) with the wheel and the given extra
# requirements. pip's cache (~/.cache/pip) outlives the clone, so wheels it built once from
# source are not built again.
venv_of() {
    echo "$root/build/venv-$(version_of "$1")"
}

make_venv() {
    local python=$1 venv
    shift
    venv=$(venv_of "$python")
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$@"
}

wheel_path() {
    ls "$root"/dist/*cp38-abi3*.whl | head -1
}

# The whole suite: parallel-safe tests on two workers, then the serial ones alone. Extra
# marker expressions (e.g. "not slow") narrow both runs.
full_suite() {
    local python=$1 narrow=${2:-} venv version status=0
    make_venv "$python" "$(wheel_path)[test]"
    venv=$(venv_of "$python")
    version=$(version_of "$python")
    local parallel="not serial" serial="serial"
    if [ -n "$narrow" ]; then
        parallel="$parallel and $narrow"
        serial="$serial and $narrow"
    fi
    run_pytest "CPython $version, 2 workers" "$venv/bin/python" -n "$jobs" -m "$parallel" \
        "$root/tests/python" || status=1
    run_pytest "CPython $version, serial" "$venv/bin/python" -m "$serial" "$root/tests/python" || status=1
    return $status
}

contract_subset() {
    local python=$1 venv version
    make_venv "$python" "$(wheel_path)" pytest
    venv=$(venv_of "$python")
    version=$(version_of "$python")
    run_pytest "CPython $version, contract subset" "$venv/bin/python" \
        "${CONTRACT_TESTS[@]/#/$root/tests/python/}"
}

# The subset under each interpreter given, all at once (small runs, mostly waiting on pip and
# on interpreter start-up); each one's output is shown whole, in order, once all are done.
contract_subsets() {
    local python status=0 index pids=() logs=()
    for python in "$@"; do
        logs+=("$root/build/contract-$(version_of "$python").log")
        contract_subset "$python" >"${logs[-1]}" 2>&1 &
        pids+=($!)
    done
    for index in "${!pids[@]}"; do
        wait "${pids[$index]}" || status=1
        cat "${logs[$index]}"
    done
    return $status
}

# The type stub against the built module, mypy on the examples, and the examples' own runs, in
# the venv of the interpreter that built the wheel (the Python tests left the wheel in it).
typing_and_examples() {
    local python venv
    python=$(build_python)
    venv=$(venv_of "$python")
    make_venv "$python" "mypy==1.14.1" "$(wheel_path)[test,examples]"
    (cd "$root/build" && "$venv/bin/python" -m mypy.stubtest treetally --allowlist "$root/python/stubtest_allowlist.txt")
    (cd "$root/build" && "$venv/bin/python" -m mypy.stubtest treetally_tools._engine)
    MYPYPATH="$root/python" "$venv/bin/python" -m mypy --strict --cache-dir build/mypy-cache -p treetally_tools
    "$venv/bin/python" -m mypy --strict --config-file examples/mypy.ini --cache-dir build/mypy-cache examples
    run_pytest "examples, CPython $(version_of "$python")" "$venv/bin/python" "$root/tests/python/tools/test_examples.py"
}

bench_smoke() {
    local venv
    venv=$(venv_of "$(build_python)")
    "$venv/bin/python" bench/run.py --smoke
}

print_summary() {
    local total=$1
    log "summary"
    cat "$summary_file"
    printf '%6d s  total\n' "$total"
    echo
    echo "pytest runs:"
    cat "$TREETALLY_PYTEST_LINES"
    if [ "$failed_steps" != 0 ]; then
        echo
        echo "$failed_steps step(s) failed"
        return 1
    fi
    echo
    echo "every step passed"
}

started=$SECONDS
step "install tools (apt-get, pip)" install_tools
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    # The cache outlives the clone (~/.cache/ccache); paths are hashed relative to the clone,
    # and not the build folder, so clones and build folders share objects (debug info names
    # sources relative to the folder that first compiled them, which resolves the same).
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
step "C++: build the core and tests (Release)" build_cpp
step "C++: tests" run_cpp_programs build/tests
step "wheel: build cp38-abi3 with CPython $(version_of "$(build_python)")" build_wheel

mapfile -t interpreters < <(python_interpreters)
oldest=${interpreters[0]}
newest=${interpreters[${#interpreters[@]} - 1]}
if [ "$quick" = 1 ]; then
    step "Python $(version_of "$oldest"): full suite" full_suite "$oldest"
    print_summary $((SECONDS - started))
    exit
fi
step "Python $(version_of "$oldest"): full suite" full_suite "$oldest"
if [ "$newest" != "$oldest" ]; then
    step "Python $(version_of "$newest"): full suite but slow tests" full_suite "$newest" "not slow"
fi
if [ ${#interpreters[@]} -gt 2 ]; then
    middle=("${interpreters[@]:1:${#interpreters[@]}-2}")
    versions=$(for python in "${middle[@]}"; do version_of "$python"; done | paste -sd, | sed 's/,/, /g')
    step "Python $versions: contract subset, at once" contract_subsets "${middle[@]}"
fi
step "typing (stubtest, mypy --strict) and examples" typing_and_examples
step "benchmark smoke runs" bench_smoke
# The hardening steps reuse the oldest interpreter's venv, which holds the normal wheel.
export TREETALLY_TEST_VENV
TREETALLY_TEST_VENV=$(venv_of "$oldest")
# Crashes, memory errors and leaks: static analysis, ASan/UBSan suites, heavy hostile inputs,
# valgrind where the sanitizers cannot look, and a short run of each fuzz harness.
step "static analysis (clang-tidy, cppcheck)" bash tests/static_analysis.sh
step "sanitized: C++ tests under ASan + UBSan" bash tests/hardening.sh sanitized-cpp
step "sanitized: Python suite under ASan + UBSan" bash tests/hardening.sh sanitized-python
step "heavy hostile inputs" bash tests/hardening.sh heavy
step "valgrind: uninitialised reads" bash tests/hardening.sh valgrind
step "fuzz smoke" bash tests/hardening.sh fuzz-smoke
print_summary $((SECONDS - started))
