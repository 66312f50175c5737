#!/usr/bin/env bash
# The habits of the code, checked:
#   1. every C++ file as clang-format writes it (.clang-format);
#   2. clang-tidy's chosen checks (.clang-tidy) over com/, update/, service/,
#      app/, cli/ and history/, as the native build compiles them (build/, which
#      scripts/test.sh makes first; BUILD names another);
#   3. cppcheck over the same folders;
#   4. every relative link of the README and docs/.
# A finding fails the script; a suppression stands beside its reason in the
# code (// NOLINT(check): why, // cppcheck-suppress check ; why), or below.
#   scripts/lint.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(realpath "${1:-$root/build}")
scripts/setup-debian.sh clang-format clang-tidy cppcheck

failed=0
echo "== clang-format"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror --style=file; then
    echo "clang-format: the files above are not formatted (clang-format -i FILE)"
    failed=1
fi

product=(com update service app cli history)
echo "== clang-tidy"
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: build first" >&2; exit 2; }
mapfile -t sources < <(python3 - "$build/compile_commands.json" "$root" "${product[@]}" <<'PY'
import json, sys
db, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
files = {e["file"] for e in json.load(open(db))}
for f in sorted(files):
    if any(f.startswith(f"{root}/{d}/") for d in folders):
        print(f)
PY
)
# Its findings are read from what it prints: its exit status also counts
# what it says about the build's flags.
findings=$(printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null |
    grep -E "warning:|error:" -A3 || true)
if [ -z "$findings" ]; then
    echo "clang-tidy: no finding in ${#sources[@]} files"
else
    printf '%s\n' "$findings"
    failed=1
fi

echo "== cppcheck"
# useStlAlgorithm: a plain loop reads as well as the algorithm it names, here.
# emit: Qt's signal keyword, an empty macro.
if ! cppcheck --enable=warning,style,performance,portability --std=c++17 --inline-suppr --quiet \
    --error-exitcode=1 --suppress=missingIncludeSystem --suppress=missingInclude --suppress=useStlAlgorithm \
    -Demit= -I com/include -I com -I update/include -I service/include -I history/include -I cli -I app "${product[@]}"; then
    failed=1
else
    echo "cppcheck: no finding"
fi

echo "== the documents' links"
scripts/check-doc-links.sh || failed=1

[ $failed -eq 0 ] || { echo "lint: findings above" >&2; exit 1; }
echo "lint: clean"
