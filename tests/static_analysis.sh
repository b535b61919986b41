#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over every C++ source of src/; any finding
# fails. Installs clang-tidy 16 and cppcheck when they are missing (needs root and apt).
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

echo "clang-tidy ($("$tidy" --version | grep -o 'version [0-9.]*')) on $(echo "$sources" | wc -l) files"
# The module's files need the interpreter's headers; the flags mirror the real build.
echo "$sources" | xargs -P "${JOBS:-2}" -I{} "$tidy" --quiet {} -- \
    -std=c++20 -Isrc -I"$python_include" -DPy_LIMITED_API=0x03080000

echo "cppcheck ($(cppcheck --version))"
# passedByValue on FatalError: the message is taken by value and moved, the usual idiom.
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --language=c++ \
    --inline-suppr -Isrc --suppress=missingIncludeSystem \
    --suppress=passedByValue:src/tree/fatal_error.hpp --error-exitcode=1 -j "${JOBS:-2}" src
echo "static analysis: no findings"
