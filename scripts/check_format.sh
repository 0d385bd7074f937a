#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what .clang-format makes of it, and lists the files.
# Fix with: git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
  echo "check_format: clang-format not found (scripts/deps.sh installs it)" >&2
  exit 1
fi
drift=()
while IFS= read -r f; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then drift+=("$f"); fi
done < <(git ls-files '*.cpp' '*.hpp')
if [ ${#drift[@]} -gt 0 ]; then
  echo "check_format: ${#drift[@]} file(s) not formatted as .clang-format says:" >&2
  printf '  %s\n' "${drift[@]}" >&2
  echo "run: git ls-files '*.cpp' '*.hpp' | xargs clang-format -i" >&2
  exit 1
fi
echo "check_format: $(git ls-files '*.cpp' '*.hpp' | wc -l) files formatted"
