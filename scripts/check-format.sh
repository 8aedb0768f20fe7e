#!/usr/bin/env bash
# Checks that our C++ sources follow .clang-format (clang-format-14).
#
#   scripts/check-format.sh          list the files that need formatting; exit 1 if any
#   scripts/check-format.sh --fix    reformat those files in place
#
# Covers facade service transport protection wire hostlib platform tools tests fuzz
# bench examples; build directories (build*, out) are skipped wherever they are.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=check
case "${1:-}" in
  "") ;;
  --fix) mode=fix ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

format=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$format" >/dev/null; then
  echo "check-format: $format not found (apt-get install clang-format-14)" >&2
  exit 2
fi

dirs=()
for d in facade service transport protection wire hostlib platform tools tests fuzz bench examples; do
  [ -d "$d" ] && dirs+=("$d")
done
mapfile -d '' files < <(find "${dirs[@]}" \( -type d \( -name 'build*' -o -name out -o -name '.*' \) -prune \) \
  -o -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' \) -print0 | sort -z)
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no sources found" >&2
  exit 2
fi

if [ $mode = fix ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -P2 -n 16 "$format" -i --style=file
  echo "check-format: formatted ${#files[@]} files"
  exit 0
fi

# One file per call, so the list names exactly the files that would change.
bad=()
for f in "${files[@]}"; do
  if ! "$format" --dry-run --Werror --style=file "$f" >/dev/null 2>&1; then
    bad+=("$f")
  fi
done
if [ ${#bad[@]} -gt 0 ]; then
  printf '  %s\n' "${bad[@]}"
  echo "check-format: ${#bad[@]} of ${#files[@]} files need formatting (scripts/check-format.sh --fix)"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
