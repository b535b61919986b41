#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over every C++ source of src/; any finding
# fails. Installs clang-tidy 16 and cppcheck when they are missing (needs root and apt).
#
# Both keep what they learnt outside the clone, so a later run (a fresh clone on the same
# machine) analyses again only what changed: clang-tidy notes each source that passed under
# a key of everything its verdict depends on (tool and compiler versions, flags, checks, the
# source and every header of src/), and cppcheck has its own build folder. The folder is
# $TREETALLY_ANALYSIS_CACHE, ~/.cache/treetally-analysis by default; an empty value turns the
# notes off.
set -euo pipefail
cd "$(dirname "$0")/.."

tidy=""
for candidate in clang-tidy-16 clang-tidy-17 clang-tidy-18 clang-tidy-19; do
    command -v "$candidate" >/dev/null && { tidy=$candidate; break; }
done
if [ -z "$tidy" ] || ! command -v cppcheck >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-tidy-16 cppcheck >/dev/null
    tidy=clang-tidy-16
fi

python_include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
sources=$(find src -name '*.cpp' | sort)
# The module's files need the interpreter's headers; the flags mirror the real build.
tidy_flags="-std=c++20 -Isrc -I$python_include -DPy_LIMITED_API=0x03080000"
cache=${TREETALLY_ANALYSIS_CACHE-$HOME/.cache/treetally-analysis}

# Sources without a note of a pass under their current key, each with its key.
to_check() {
    local context file
    context=$(
        {
            "$tidy" --version
            g++ --version
            echo "$tidy_flags"
            cat .clang-tidy
            find src -name '*.hpp' -o -name '*.h' | sort | xargs cat
            cat "$python_include/Python.h"
        } | sha256sum | cut -c1-64
    )
    for file in $sources; do
        local key
        key=$( (echo "$context" && cat "$file") | sha256sum | cut -c1-64)
        [ -n "$cache" ] && [ -e "$cache/tidy/$key" ] && continue
        printf '%s %s\n' "$file" "$key"
    done
}

pending=$(to_check)
echo "clang-tidy ($("$tidy" --version | grep -o 'version [0-9.]*')) on $(echo "$pending" | grep -c . || true)" \
    "of $(echo "$sources" | wc -l) files (the others passed unchanged before)"
if [ -n "$pending" ]; then
    [ -z "$cache" ] || mkdir -p "$cache/tidy"
    # Each file that passes leaves its note; a finding fails the whole run (xargs' status).
    echo "$pending" | TIDY="$tidy" FLAGS="$tidy_flags" NOTES="$cache/tidy" xargs -P "${JOBS:-2}" -L 1 \
        sh -c '"$TIDY" --quiet "$0" -- $FLAGS && { [ "$NOTES" = /tidy ] || touch "$NOTES/$1"; }'
fi

echo "cppcheck ($(cppcheck --version))"
cppcheck_cache=()
if [ -n "$cache" ]; then
    mkdir -p "$cache/cppcheck"
    cppcheck_cache=(--cppcheck-build-dir="$cache/cppcheck")
fi
# passedByValue on FatalError: the message is taken by value and moved, the usual idiom.
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --language=c++ \
    --inline-suppr -Isrc --suppress=missingIncludeSystem "${cppcheck_cache[@]}" \
    --suppress=passedByValue:src/base/fatal_error.hpp --error-exitcode=1 -j "${JOBS:-2}" src
echo "static analysis: no findings"
