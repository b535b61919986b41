#!/usr/bin/env bash
# The CI steps that look for crashes, memory errors and leaks rather than wrong answers:
#   tests/hardening.sh sanitized   C++ tests and the Python suite under ASan + UBSan
#   tests/hardening.sh heavy       the heavy hostile-input tests, once, on the normal wheel
#   tests/hardening.sh valgrind    memcheck over the C++ tests
#   tests/hardening.sh fuzz-smoke  each fuzz harness for a short time
# Installs the compilers and tools it needs with apt-get and pip when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}

log() { printf '\n=== %s\n' "$*"; }

apt_install() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "apt-get install ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

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

run_sanitized() {
    log "C++ tests under AddressSanitizer and UBSan"
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTREETALLY_SANITIZE=ON >/dev/null
    cmake --build build/asan -j "$jobs" --target treetally_core_tests treetally_memory_tests
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/asan --output-on-failure -j "$jobs"

    log "Python suite against a sanitized module"
    rm -rf build/dist-asan
    python3 -m pip wheel -q . -w build/dist-asan --no-deps \
        -C cmake.define.TREETALLY_SANITIZE=ON -C build-dir=build/asan-wheel
    make_venv build/venv-asan "$(ls build/dist-asan/*.whl)"
    # Leak checking is off for the interpreter, which keeps its own memory until exit; reports
    # go to files as well, since pytest swallows the stderr of a test that dies. Tests that cap
    # the address space (RLIMIT_AS) are left out: the sanitizer's shadow memory alone exceeds
    # any such cap, so its allocator aborts where the real one would fail cleanly.
    rm -f build/asan-report.*
    local status=0
    (cd build && LD_PRELOAD="$(sanitizer_preload)" \
        ASAN_OPTIONS=detect_leaks=0:log_path="$root/build/asan-report" \
        UBSAN_OPTIONS=print_stacktrace=1:log_path="$root/build/asan-report" \
        venv-asan/bin/python -m pytest -q -p no:cacheprovider -k "not memory_flat and not memory_limit and not too_large_for_memory" \
        "$root/tests/python") || status=$?
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

run_heavy() {
    log "heavy hostile inputs (TREETALLY_HOSTILE_MB=${TREETALLY_HOSTILE_MB:-20})"
    make_venv build/venv-hardening "$(normal_wheel)"
    (cd build && TREETALLY_HEAVY_TESTS=1 venv-hardening/bin/python -m pytest -q \
        -p no:cacheprovider -s "$root/tests/python/module/test_hostile_inputs.py")
}

run_valgrind() {
    apt_install valgrind
    log "valgrind memcheck over the C++ tests"
    # The test binary that run_all.sh built, or a fresh one when this runs alone.
    local tests=build/tests/tests/cpp/treetally_core_tests
    if [ ! -x "$tests" ]; then
        cmake -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build/valgrind -j "$jobs" --target treetally_core_tests
        tests=build/valgrind/tests/cpp/treetally_core_tests
    fi
    valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --quiet "$tests" --gtest_brief=1
    echo "valgrind: no memory errors, no definite leaks"
}

# Runs one harness, shows the end of its output, and all of it when it found something.
fuzz_one() {
    local harness=$1 seconds=$2 status=0
    log "fuzz smoke: $harness, $seconds s"
    mkdir -p build/fuzz
    tests/fuzz/run.sh "$harness" "$seconds" >"build/fuzz/$harness.log" 2>&1 || status=$?
    grep -v -e '^#' -e 'treetally: fatal error' "build/fuzz/$harness.log" | tail -6
    if [ "$status" != 0 ]; then
        echo "fuzz harness $harness failed (status $status); artifacts in build/fuzz/artifacts"
        grep -v '^#' "build/fuzz/$harness.log" | tail -60
        return 1
    fi
}

run_fuzz_smoke() {
    apt_install clang-16 libclang-rt-16-dev
    fuzz_one newick_reader "${FUZZ_SECONDS:-30}"
    fuzz_one tree_loader "${FUZZ_SECONDS:-30}"
    [ -x build/venv-hardening/bin/python ] || make_venv build/venv-hardening "$(normal_wheel)"
    build/venv-hardening/bin/python -m pip install -q atheris ||
        echo "atheris did not install: the plain random loop runs instead"
    PYTHON=build/venv-hardening/bin/python fuzz_one python_api "${PYTHON_FUZZ_SECONDS:-20}"
}

case "${1:-}" in
    sanitized) run_sanitized ;;
    heavy) run_heavy ;;
    valgrind) run_valgrind ;;
    fuzz-smoke) run_fuzz_smoke ;;
    *)
        echo "usage: tests/hardening.sh sanitized|heavy|valgrind|fuzz-smoke" >&2
        exit 2
        ;;
esac
