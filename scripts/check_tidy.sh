#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the project's own .cpp files, as the default
# build compiles them (its compile_commands.json), and fails on any finding.
#   QUELLOR_TIDY_SCOPE=all   also the tests, benchmarks and fuzz targets; by default only the
#                            production code (framework, telvik, modules, board, app, sim), which
#                            keeps the run within a few minutes on two cores
#   QUELLOR_TIDY_BUILD=DIR   the build directory (default: build/default)
#   QUELLOR_JOBS=N           parallel clang-tidy runs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in clang-tidy run-clang-tidy; do
  if ! command -v "$tool" >/dev/null; then
    echo "check_tidy: $tool not found (scripts/deps.sh installs it)" >&2
    exit 1
  fi
done
build=${QUELLOR_TIDY_BUILD:-build/default}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check_tidy: no $build/compile_commands.json; configure first: cmake --preset default" >&2
  exit 1
fi
case "${QUELLOR_TIDY_SCOPE:-production}" in
  production) folders="app board framework modules sim telvik" ;;
  all) folders="app bench board framework fuzz modules sim telvik tests" ;;
  *)
    echo "check_tidy: QUELLOR_TIDY_SCOPE is 'production' or 'all'" >&2
    exit 1
    ;;
esac

# The files of the compile database under those folders of this checkout (generated sources in
# the build directory are not ours to tidy), as one anchored pattern for run-clang-tidy.
pattern=$(python3 - "$build/compile_commands.json" "$PWD" $folders <<'EOF'
import json, os, re, sys
database, root, folders = sys.argv[1], os.path.realpath(sys.argv[2]), set(sys.argv[3:])
files = set()
for entry in json.load(open(database)):
    # run-clang-tidy matches the pattern against this form of the name.
    name = entry["file"]
    if not os.path.isabs(name):
        name = os.path.normpath(os.path.join(entry["directory"], name))
    relative = os.path.relpath(os.path.realpath(name), root)
    if relative.split(os.sep)[0] in folders and name.endswith(".cpp"):
        files.add(name)
print("^(" + "|".join(re.escape(f) for f in sorted(files)) + ")$" if files else "")
EOF
)
if [ -z "$pattern" ]; then
  echo "check_tidy: no sources of $folders in $build/compile_commands.json" >&2
  exit 1
fi
count=$(tr '|' '\n' <<<"$pattern" | wc -l)

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
status=0
# -Wno-error: the compiler's own warnings are the build's business (GCC's, with -Werror there);
# clang's differ, and an unknown GCC option must not stop clang-tidy.
run-clang-tidy -quiet -j "${QUELLOR_JOBS:-$(nproc)}" -p "$build" \
  -extra-arg=-Wno-error -extra-arg=-Wno-unknown-warning-option "$pattern" >"$log" 2>&1 || status=$?
elapsed=$((SECONDS - start))

# The findings, without run-clang-tidy's command lines and clang's counts of hidden warnings.
findings=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -v -E '^(clang-tidy|[0-9]+ warnings? (and [0-9]+ errors? )?generated\.|Suppressed [0-9]+ warnings|Use -header-filter|Use -system-headers)' || true)
if [ "$status" -ne 0 ] || grep -q -E ': (warning|error):' <<<"$findings"; then
  printf '%s\n' "$findings" >&2
  echo "check_tidy: $(grep -c -E ': (warning|error):' <<<"$findings") finding(s) in $count files (${elapsed} s)" >&2
  exit 1
fi
echo "check_tidy: $count files clean (${elapsed} s)"
