#!/usr/bin/env bash
# Installs what the tests need, builds the C++ tests and the abi3 wheel once, then runs
# the C++ suite and the Python suite under every CPython 3.8+ that pyenv provides.
#   bash tests/run_all.sh           everything CI runs
#   bash tests/run_all.sh --quick   the C++ suite and the Python suite under one interpreter
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

log() { printf '\n=== %s\n' "$*"; }

install_system_packages() {
    local missing=()
    [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
        [ -n "$(find /usr/lib /usr/local/lib -name GTestConfig.cmake 2>/dev/null | head -1)" ] ||
        missing+=(libgtest-dev)
    command -v g++ >/dev/null || missing+=(g++)
    if [ ${#missing[@]} -gt 0 ]; then
        log "apt-get install ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}

build_python() {
    # The interpreter that builds the wheel: the oldest CPython 3.8+ on the machine, since the
    # cp38-abi3 wheel targets its headers, and 3.8's differ from later ones (they declare
    # PyInit_* without a visibility attribute); a build with a newer interpreter hides that.
    python_interpreters | sort -V | head -1
}

run_cpp_tests() {
    log "C++ tests"
    python3 -m pip install -q cmake ninja >/dev/null 2>&1 || true
    cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DTREETALLY_WERROR=ON >/dev/null
    cmake --build build/tests -j "$jobs"
    ctest --test-dir build/tests --output-on-failure -j "$jobs"
}

build_wheel() {
    log "building the wheel"
    rm -rf dist
    "$(build_python)" -m pip wheel -q . -w dist --no-deps
    ls dist/*cp38-abi3*.whl
}

# Every CPython 3.8 or later on the machine: pyenv's, else the python3 on PATH.
python_interpreters() {
    local found=0
    if command -v pyenv >/dev/null; then
        local prefix
        prefix=$(pyenv root)/versions
        for dir in "$prefix"/3.*; do
            local version=${dir##*/}
            local minor=${version#3.}
            minor=${minor%%.*}
            if [[ "$version" =~ ^3\.[0-9]+\.[0-9]+$ ]] && [ "$minor" -ge 8 ] && [ -x "$dir/bin/python" ]; then
                echo "$dir/bin/python"
                found=1
            fi
        done
    fi
    [ "$found" = 1 ] || command -v python3
}

# Runs the Python suite under each interpreter given, in a fresh venv with the wheel and its
# [test] extra.
run_python_tests() {
    local wheel
    wheel=$(ls dist/*cp38-abi3*.whl)
    local failed=0
    for python in "$@"; do
        local version
        version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        log "Python tests under CPython $version"
        local venv="$root/build/venv-$version"
        rm -rf "$venv"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
        "$venv/bin/python" -m pip install -q "$wheel[test]"
        (cd "$root/build" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python") ||
            failed=1
    done
    return $failed
}

# The type stub against the built module, mypy on the examples, and the examples' own runs, in
# the venv of the interpreter that built the wheel (the Python tests left the wheel in it).
run_typing_and_example_checks() {
    local python version venv wheel
    python=$(build_python)
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$root/build/venv-$version"
    wheel=$(ls dist/*cp38-abi3*.whl)
    log "stubtest of the module and the engine, mypy --strict on treetally_tools and the examples, example runs under CPython $version"
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q "$wheel[test]"
    fi
    "$venv/bin/python" -m pip install -q "mypy==1.14.1" "$wheel[examples]"
    (cd "$root/build" && "$venv/bin/python" -m mypy.stubtest treetally --allowlist "$root/stubs/stubtest_allowlist.txt")
    (cd "$root/build" && "$venv/bin/python" -m mypy.stubtest treetally_tools._engine)
    "$venv/bin/python" -m mypy --strict --cache-dir build/mypy-cache -p treetally_tools
    "$venv/bin/python" -m mypy --strict --config-file examples/mypy.ini --cache-dir build/mypy-cache examples
    (cd "$root/build" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python/tools/test_examples.py")
}

install_system_packages
run_cpp_tests
build_wheel
if [ "$quick" = 1 ]; then
    run_python_tests "$(build_python)"
    exit
fi
run_python_tests $(python_interpreters)
run_typing_and_example_checks
"$root/build/venv-$("$(build_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/bin/python" bench/run.py --smoke
"$root/build/venv-$("$(build_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/bin/python" bench/table_benchmark.py --smoke
# Crashes, memory errors and leaks: static analysis, ASan/UBSan suites, heavy hostile inputs,
# valgrind and a short run of each fuzz harness.
bash tests/static_analysis.sh
bash tests/hardening.sh sanitized
bash tests/hardening.sh heavy
bash tests/hardening.sh valgrind
bash tests/hardening.sh fuzz-smoke
