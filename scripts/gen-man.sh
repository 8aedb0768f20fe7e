#!/usr/bin/env bash
# Builds the roff manual pages docs/man/*.1 from their Markdown sources
# docs/man/*.1.md (the pages people edit, and read on the web) with go-md2man
# (Debian package go-md2man, installed by scripts/setup.sh).
#
#   gen-man.sh                 regenerate every docs/man/*.1
#   gen-man.sh --check         exit 1 when a docs/man/*.1 is out of date
#   gen-man.sh PAGE.1.md       print the roff text of one page
#
# The first line of a page is go-md2man's title line,
#   # NAME 1 "" "proxyhelper VERSION" "User Commands"
# with an empty date, so that the output is the same on every run and can be
# checked in. VERSION follows the project's version: regenerating updates it.
# The checked-in pages come from Debian 12's go-md2man; other releases of it
# render some markup differently, which --check reports as out of date.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
man_dir="$root/docs/man"

if ! command -v go-md2man >/dev/null 2>&1; then
  echo "gen-man: go-md2man is missing; scripts/setup.sh installs it" >&2
  exit 2
fi

version="$(sed -n 's/^project([a-z_]* VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt" | head -n 1)"
title_version='1s/"proxyhelper [0-9][0-9.]*"/"proxyhelper '"$version"'"/'

# Whether the title line of a Markdown page names the project's version.
version_current() {
  head -n 1 "$1" | grep -qF "\"proxyhelper $version\""
}

case "${1:-}" in
  --check)
    status=0
    for md in "$man_dir"/*.1.md; do
      page="${md%.md}"
      if ! version_current "$md"; then
        echo "gen-man: ${md#"$root"/}: the title line does not name version $version; run scripts/gen-man.sh" >&2
        status=1
      elif ! go-md2man -in "$md" | cmp -s - "$page"; then
        echo "gen-man: ${page#"$root"/} is out of date; run scripts/gen-man.sh" >&2
        status=1
      fi
    done
    exit "$status"
    ;;
  "")
    for md in "$man_dir"/*.1.md; do
      page="${md%.md}"
      version_current "$md" || sed -i "$title_version" "$md"
      go-md2man -in "$md" -out "$page.tmp"
      mv "$page.tmp" "$page"
      echo "gen-man: wrote ${page#"$root"/}"
    done
    ;;
  -*)
    echo "usage: gen-man.sh [--check | PAGE.1.md]" >&2
    exit 2
    ;;
  *)
    go-md2man -in "$1"
    ;;
esac
