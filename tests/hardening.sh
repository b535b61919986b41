#!/usr/bin/env bash
# The CI steps that look for crashes, memory errors and leaks rather than wrong answers:
#   tests/hardening.sh sanitized         both of the following
#   tests/hardening.sh sanitized-cpp     C++ tests under ASan + UBSan
#   tests/hardening.sh sanitized-python  the Python suite against a module built with them
#   tests/hardening.sh heavy             the heavy hostile-input tests, once, on the normal wheel
#   tests/hardening.sh valgrind          memcheck for uninitialised reads over C++ tests
#   tests/hardening.sh fuzz-smoke        each fuzz harness for a short time
# Installs the compilers and tools it needs with apt-get and pip when they are missing. Uses
# ccache when CMAKE_CXX_COMPILER_LAUNCHER says so (run_all.sh sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
# shellcheck source=tests/ci_common.sh
. tests/ci_common.sh

# A venv of python3 with the given wheel and its [test] extra.
make_venv() {
    local venv=$1 wheel=$2
    rm -rf "$venv"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$wheel[test]"
}

# The sanitizer runtimes must come first in an interpreter that was built without them;
# libstdc++ too, or ASan cannot find the real __cxa_throw when the module throws.
sanitizer_preload() {
    echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
}

# The sanitized C++ tests and the sanitized wheel share one build of the core through ccache:
# the same build type, and the wheel's hidden visibility here as well.
run_sanitized_cpp() {
    log "C++ tests under AddressSanitizer and UBSan"
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTREETALLY_SANITIZE=ON -DCMAKE_CXX_VISIBILITY_PRESET=hidden \
        -DCMAKE_VISIBILITY_INLINES_HIDDEN=ON >/dev/null
    cmake --build build/asan -j "$jobs" --target treetally_core_tests treetally_memory_tests
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_cpp_programs build/asan
}

run_sanitized_python() {
    log "Python suite against a sanitized module"
    # The sanitized modules go to a folder of their own, put ahead of the normal venv's
    # site-packages: its test dependencies serve both, installed once.
    local venv
    venv=$(normal_venv)
    rm -rf build/dist-asan build/asan-site
    "$venv/bin/python" -m pip wheel -q . -w build/dist-asan --no-deps \
        --config-settings cmake.define.TREETALLY_SANITIZE=ON \
        --config-settings cmake.build-type=RelWithDebInfo --config-settings build-dir=build/asan-wheel
    "$venv/bin/python" -m pip install -q --no-deps --target build/asan-site "$(ls build/dist-asan/*.whl)"
    # Leak checking is off for the interpreter, which keeps its own memory until exit; reports
    # go to files as well, since pytest swallows the stderr of a test that dies. Tests that cap
    # the address space (RLIMIT_AS) are left out: the sanitizer's shadow memory alone exceeds
    # any such cap, so its allocator aborts where the real one would fail cleanly. Slow tests
    # ran once already, on the normal wheel; the heavy ones have a step of their own.
    rm -f build/asan-report.*
    local status=0 python=$root/build/asan-python
    local leave_out="not memory_flat and not memory_limit and not too_large_for_memory"
    # The interpreter with the sanitizer's settings, which its children (xdist workers, the
    # tests' own subprocesses) inherit; the tools around pytest run without them.
    {
        echo '#!/bin/sh'
        echo "export LD_PRELOAD='$(sanitizer_preload)'"
        echo "export ASAN_OPTIONS='detect_leaks=0:log_path=$root/build/asan-report'"
        echo "export UBSAN_OPTIONS='print_stacktrace=1:log_path=$root/build/asan-report'"
        echo "export PYTHONPATH='$root/build/asan-site'"
        echo "exec '$venv/bin/python' \"\$@\""
    } >"$python"
    chmod +x "$python"
    (cd build && "$python" -c 'import treetally, treetally_tools._engine as engine
assert "asan-site" in treetally.__file__ and "asan-site" in engine.__file__, "not the sanitized modules"')
    run_pytest "ASan + UBSan, 2 workers" "$python" -n "$jobs" -m "not serial and not slow" \
        -k "$leave_out" "$root/tests/python" || status=$?
    run_pytest "ASan + UBSan, serial" "$python" -m "serial and not slow" -k "$leave_out" \
        "$root/tests/python" || status=$?
    if ls build/asan-report.* >/dev/null 2>&1; then
        cat build/asan-report.*
        status=1
    fi
    return $status
}

# The normal wheel that run_all.sh built, or a fresh one when this runs alone.
normal_wheel() {
    if ls dist/*cp38-abi3*.whl >/dev/null 2>&1; then
        ls dist/*cp38-abi3*.whl | head -1
        return
    fi
    rm -rf build/dist-hardening
    python3 -m pip wheel -q . -w build/dist-hardening --no-deps -C build-dir=build/hardening-wheel
    ls build/dist-hardening/*.whl
}

# The venv that run_all.sh tested the normal wheel in ($TREETALLY_TEST_VENV), or a fresh one
# when this runs alone.
normal_venv() {
    if [ -n "${TREETALLY_TEST_VENV:-}" ] && [ -x "$TREETALLY_TEST_VENV/bin/python" ]; then
        echo "$TREETALLY_TEST_VENV"
        return
    fi
    [ -x build/venv-hardening/bin/python ] || make_venv build/venv-hardening "$(normal_wheel)" >&2
    echo "$root/build/venv-hardening"
}

# Only the heavy cases, alone: the rest of the file ran with the suite.
run_heavy() {
    log "heavy hostile inputs (TREETALLY_HOSTILE_MB=${TREETALLY_HOSTILE_MB:-20})"
    local venv
    venv=$(normal_venv)
    TREETALLY_HEAVY_TESTS=1 run_pytest "heavy hostile inputs" "$venv/bin/python" -s -m heavy \
        "$root/tests/python/module/test_hostile_inputs.py"
}

# AddressSanitizer and LeakSanitizer (the sanitized step) already see out-of-bounds accesses,
# use after free and leaks over the whole C++ suite; what they cannot see is a read of memory
# never written (MemorySanitizer's field, which would need a libstdc++ and GoogleTest built
# with it). memcheck looks for exactly that; leak checking is left to LeakSanitizer. Left out
# are the tests whose time under valgrind goes to size rather than to other code: million-node
# trees, the brute-force comparisons over thousands of random trees, and the real data files
# (two thirds of valgrind's time over the whole suite).
VALGRIND_FILTER='*-DeepTrees.*:RandomTrees.*:LabelledTallies.AgreeTreeByTreeOnRandomTrees:*RealData*:Presence.IntronTreesLackTheKnownTaxa'

run_valgrind() {
    apt_install_missing valgrind
    log "valgrind memcheck for uninitialised reads"
    # The test binary that run_all.sh built, or a fresh one when this runs alone.
    local tests=build/tests/tests/cpp/treetally_core_tests
    if [ ! -x "$tests" ]; then
        cmake -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build/valgrind -j "$jobs" --target treetally_core_tests
        tests=build/valgrind/tests/cpp/treetally_core_tests
    fi
    valgrind --error-exitcode=1 --leak-check=no --undef-value-errors=yes --quiet \
        "$tests" --gtest_brief=1 --gtest_filter="$VALGRIND_FILTER"
    echo "valgrind: no reads of uninitialised memory"
}

# Runs one harness, shows the end of its output, and all of it when it found something.
fuzz_one() {
    local harness=$1 seconds=$2 status=0
    echo "fuzz smoke: $harness, $seconds s"
    mkdir -p build/fuzz
    tests/fuzz/run.sh "$harness" "$seconds" >"build/fuzz/$harness.log" 2>&1 || status=$?
    grep -v -e '^#' -e 'treetally: fatal error' "build/fuzz/$harness.log" | tail -6
    if [ "$status" != 0 ]; then
        echo "fuzz harness $harness failed (status $status); artifacts in build/fuzz/artifacts"
        grep -v '^#' "build/fuzz/$harness.log" | tail -60
        return 1
    fi
}

# The two C++ harnesses at once (one core each), then the Python one, in a venv of python3
# with the normal wheel and atheris (whose wheels cover python3; without it the harness runs
# a plain random loop).
run_fuzz_smoke() {
    apt_install_missing clang-16 libclang-rt-16-dev
    log "fuzz smoke: building the C++ harnesses"
    tests/fuzz/run.sh --build
    log "fuzz smoke: newick_reader and tree_loader, ${FUZZ_SECONDS:-30} s each, at once"
    local status=0 harness pids=()
    mkdir -p build/fuzz
    for harness in newick_reader tree_loader; do
        FUZZ_PREBUILT=1 fuzz_one "$harness" "${FUZZ_SECONDS:-30}" >"build/fuzz/$harness.summary" 2>&1 &
        pids+=($!)
    done
    for harness in 0 1; do
        wait "${pids[$harness]}" || status=1
    done
    cat build/fuzz/newick_reader.summary build/fuzz/tree_loader.summary
    log "fuzz smoke: python_api, ${PYTHON_FUZZ_SECONDS:-20} s"
    local venv=build/venv-fuzz
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$(normal_wheel)"
    "$venv/bin/python" -m pip install -q atheris ||
        echo "atheris did not install: the plain random loop runs instead"
    PYTHON=$venv/bin/python fuzz_one python_api "${PYTHON_FUZZ_SECONDS:-20}" || status=1
    return $status
}

case "${1:-}" in
    sanitized)
        run_sanitized_cpp
        run_sanitized_python
        ;;
    sanitized-cpp) run_sanitized_cpp ;;
    sanitized-python) run_sanitized_python ;;
    heavy) run_heavy ;;
    valgrind) run_valgrind ;;
    fuzz-smoke) run_fuzz_smoke ;;
    *)
        echo "usage: tests/hardening.sh sanitized|sanitized-cpp|sanitized-python|heavy|valgrind|fuzz-smoke" >&2
        exit 2
        ;;
esac
