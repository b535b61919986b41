#!/usr/bin/env bash
# Builds one fuzz harness and runs it for a given time:
#   tests/fuzz/run.sh newick_reader|tree_loader|python_api SECONDS [extra fuzzer arguments]
#   tests/fuzz/run.sh --build   only builds the C++ harnesses; after it, FUZZ_PREBUILT=1 runs
#                               them without building, so that several can run at once
# The C++ harnesses use libFuzzer (clang) with AddressSanitizer and UBSan; python_api uses
# atheris when it installs, else a plain random-input loop. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
harness=${1:?usage: run.sh HARNESS SECONDS [fuzzer args]}
if [ "$harness" = --build ]; then
    seconds=0
    shift
else
    seconds=${2:?usage: run.sh HARNESS SECONDS [fuzzer args]}
    shift 2
fi
seeds=$root/tests/fuzz/corpus/$harness
work=$root/build/fuzz/work/$harness
artifacts=$root/build/fuzz/artifacts
mkdir -p "$work" "$artifacts"

# clang 16 or later: older clang cannot compile std::source_location from libstdc++ 12.
fuzz_compiler() {
    local candidate
    for candidate in clang++-16 clang++-17 clang++-18 clang++-19 clang++; do
        if command -v "$candidate" >/dev/null; then
            echo "$candidate"
            return
        fi
    done
    echo "run.sh: clang++ 16+ is needed (apt-get install clang-16 libclang-rt-16-dev)" >&2
    exit 2
}

# FUZZ_SANITIZERS=undefined gives a faster build for long campaigns; the default keeps ASan.
sanitizers=${FUZZ_SANITIZERS:-address,undefined}
build_dir=build/fuzz/cmake-${sanitizers//,/-}

build_cpp_harnesses() {
    [ "${FUZZ_PREBUILT:-0}" = 1 ] && return
    CXX=$(fuzz_compiler) cmake -S . -B "$build_dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREETALLY_BUILD_TESTS=OFF -DTREETALLY_SANITIZE=ON \
        -DTREETALLY_SANITIZERS="$sanitizers" -DTREETALLY_BUILD_FUZZERS=ON >/dev/null
    cmake --build "$build_dir" -j "${JOBS:-2}" --target "$@"
}

case "$harness" in
    --build)
        FUZZ_PREBUILT=0 build_cpp_harnesses newick_reader_fuzzer tree_loader_fuzzer
        ;;
    newick_reader | tree_loader)
        build_cpp_harnesses "${harness}_fuzzer"
        max_len=4096
        # Files longer than the loader's 8192-byte read buffer exercise lines that span reads.
        [ "$harness" = tree_loader ] && max_len=20000
        export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
        export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
        exec "$build_dir/tests/fuzz/${harness}_fuzzer" "$work" "$seeds" \
            -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
            -dict=tests/fuzz/newick.dict -artifact_prefix="$artifacts/$harness-" \
            -print_final_stats=1 "$@"
        ;;
    python_api)
        exec "${PYTHON:-python3}" tests/fuzz/python_api_fuzzer.py "$seconds" "$seeds" "$@"
        ;;
    *)
        echo "run.sh: unknown harness '$harness' (newick_reader, tree_loader, python_api)" >&2
        exit 2
        ;;
esac
