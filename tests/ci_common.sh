# Helpers shared by tests/run_all.sh and tests/hardening.sh (sourced, after `cd` to the
# repository root and with $root set).

log() { printf '\n=== %s\n' "$*"; }

apt_install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "apt-get install ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# pytest with the given arguments, from build/ so the repository root does not shadow the
# installed package:  run_pytest LABEL PYTHON [pytest arguments]
# Its closing line goes, with the label, to $TREETALLY_PYTEST_LINES when that names a file
# (run_all.sh prints them at the end). Status 5 (no test selected, e.g. no serial test among
# the files given) counts as success; any other status is pytest's.
run_pytest() {
    local label=$1 python=$2 status=0 closing output
    shift 2
    mkdir -p "$root/build"
    output=$(mktemp "$root/build/pytest-XXXXXX.log")
    (cd "$root/build" && "$python" -m pytest -q -p no:cacheprovider "$@") 2>&1 |
        tee "$output" || status=$? # pytest's status, with pipefail
    closing=$(grep -E ' in [0-9.]+s' "$output" | tail -1 | sed -E 's/^=+ *//; s/ *=+$//')
    rm -f "$output"
    if [ -n "${TREETALLY_PYTEST_LINES:-}" ]; then
        printf '  %-44s %s\n' "$label" "${closing:-no closing line (status $status)}" >>"$TREETALLY_PYTEST_LINES"
    fi
    if [ "$status" = 5 ]; then
        echo "(no test selected here)"
        return 0
    fi
    return "$status"
}

# Runs the C++ test programs of a CMake build folder, each as one process and both at once,
# and shows the end of each one's output:  run_cpp_programs BUILD_DIR
# (ctest starts a process per test, which takes several times as long as the tests.)
run_cpp_programs() {
    local dir=$1/tests/cpp status=0 index
    local programs=(treetally_core_tests treetally_memory_tests) pids=()
    for index in "${!programs[@]}"; do
        (cd "$dir" && "./${programs[$index]}" --gtest_brief=1 >"${programs[$index]}.log" 2>&1) &
        pids+=($!)
    done
    for index in "${!programs[@]}"; do
        if ! wait "${pids[$index]}"; then
            echo "${programs[$index]} FAILED"
            status=1
        fi
        echo "${programs[$index]}:"
        grep -v '^$' "$dir/${programs[$index]}.log" | tail -60
    done
    return $status
}
