#!/usr/bin/env bash
# Checks the manual pages against the tools they describe:
#
#   check-man.sh PROXYHELPER_BINARY PROXYHELPER_DEVSERVER_BINARY
#
# For each tool, every option that `TOOL --help` lists must be described in
# the OPTIONS section of docs/man/TOOL.1.md, every subcommand must have its
# own "### name" subsection, and every option of `TOOL SUB --help` must be
# described in that subsection; the roff page docs/man/TOOL.1 must say the
# same. In the other direction, every option the Markdown page names in those
# sections must exist. Finally the roff pages must be what scripts/gen-man.sh
# (go-md2man) makes of the Markdown, and groff (when installed) must accept
# them without warnings. Exit status 0 when everything holds, 1 otherwise.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: check-man.sh PROXYHELPER_BINARY PROXYHELPER_DEVSERVER_BINARY" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
man_dir="$root/docs/man"
failures=0

fail() {
  echo "check-man: $*" >&2
  failures=$((failures + 1))
}

# Option names ("-u", "--user") of the "Options:" block of CLI11 help text.
help_options() {
  awk '
    /^[A-Za-z][A-Za-z ]*:$/ { in_opts = ($0 == "Options:"); next }
    in_opts && /^  -/ {
      n = split($1, names, ",")
      for (i = 1; i <= n; i++) {
        name = names[i]
        sub(/[{=].*/, "", name)
        if (name ~ /^--?[A-Za-z0-9]/) print name
      }
    }
  '
}

# Subcommand names of the "Subcommands:" block.
help_subcommands() {
  awk '
    /^[A-Za-z][A-Za-z ]*:$/ { in_subs = ($0 == "Subcommands:"); next }
    in_subs && /^  [A-Za-z]/ { print $1 }
    /^$/ { in_subs = 0 }
  '
}

# The lines of one Markdown section: "## NAME" up to the next "## ", or
# "### NAME" up to the next "##"/"###" heading.
md_section() {
  local file="$1" heading="$2"
  awk -v heading="$heading" '
    BEGIN { depth = (substr(heading, 1, 3) == "###") ? 3 : 2 }
    $0 == heading { inside = 1; next }
    inside && /^#/ {
      level = match($0, /[^#]/) - 1
      if (level <= depth) exit
    }
    inside { print }
  ' "$file"
}

# The roff lines of ".SH NAME" / ".SS NAME", with the same scoping. A code
# span comes out of Debian 12's go-md2man as "\fB\fC--opt\fR"; newer releases
# drop the "\fC", and a "\-" is read as "-", so any form gives "\fB--opt\fR".
roff_section() {
  local file="$1" macro="$2" name="$3"
  awk -v macro="$macro" -v name="$name" '
    $0 == macro " " name { inside = 1; next }
    inside && (/^\.SH / || (macro == ".SS" && /^\.SS /)) { exit }
    inside { print }
  ' "$file" | sed -e 's/\\fC//g' -e 's/\\-/-/g'
}

# Option names written as code spans (`--opt`, `-o`) in Markdown text.
md_options() {
  # shellcheck disable=SC2016  # the backquotes are Markdown, not expansions
  grep -o '`--\?[A-Za-z0-9][A-Za-z0-9-]*`' | tr -d '`' | sort -u || true
}

# check_scope TOOL SCOPE-LABEL HELP-TEXT MD-SECTION ROFF-SECTION
check_scope() {
  local tool="$1" label="$2" help="$3" md="$4" roff="$5"
  local listed documented option
  listed="$(printf '%s\n' "$help" | help_options | sort -u)"
  documented="$(printf '%s\n' "$md" | md_options)"
  if [ -z "$md" ]; then
    fail "$tool: no section for $label in the Markdown page"
    return
  fi
  for option in $listed; do
    case "$option" in -h | --help)
      # Described once, among the global options.
      [ "$label" = "global options" ] || continue
      ;;
    esac
    if ! grep -qxF -- "$option" <<<"$documented"; then
      fail "$tool: $label: $option is not described in the Markdown page"
    fi
    if ! grep -qF -- "\\fB$option\\fR" <<<"$roff"; then
      fail "$tool: $label: $option is not in the roff page"
    fi
  done
  for option in $documented; do
    if ! grep -qxF -- "$option" <<<"$listed"; then
      fail "$tool: $label: the page describes $option, which --help does not list"
    fi
  done
}

check_tool() {
  local bin="$1" tool="$2"
  local md="$man_dir/$tool.1.md" page="$man_dir/$tool.1"
  local help sub sub_help
  if [ ! -x "$bin" ]; then
    fail "$tool: $bin is not an executable"
    return
  fi
  if [ ! -f "$md" ] || [ ! -f "$page" ]; then
    fail "$tool: $md or $page is missing"
    return
  fi
  if ! help="$("$bin" --help 2>&1)"; then
    fail "$tool: --help failed"
    return
  fi
  check_scope "$tool" "global options" "$help" \
    "$(md_section "$md" "## OPTIONS")" "$(roff_section "$page" .SH OPTIONS)"

  for sub in $(printf '%s\n' "$help" | help_subcommands); do
    if ! sub_help="$("$bin" "$sub" --help 2>&1)"; then
      fail "$tool: $sub --help failed"
      continue
    fi
    if ! grep -qx ".SS $sub" "$page"; then
      fail "$tool: subcommand $sub has no subsection in the roff page"
    fi
    check_scope "$tool" "subcommand $sub" "$sub_help" \
      "$(md_section "$md" "### $sub")" "$(roff_section "$page" .SS "$sub")"
  done

  # Subsections under SUBCOMMANDS that name no subcommand any more.
  local documented_subs
  documented_subs="$(md_section "$md" "## SUBCOMMANDS" | sed -n 's/^### //p')"
  for sub in $documented_subs; do
    if ! printf '%s\n' "$help" | help_subcommands | grep -qxF -- "$sub"; then
      fail "$tool: the page describes subcommand $sub, which --help does not list"
    fi
  done
}

check_tool "$1" proxyhelper
check_tool "$2" proxyhelper-devserver

if ! bash "$root/scripts/gen-man.sh" --check; then
  failures=$((failures + 1))
fi

if command -v groff >/dev/null 2>&1; then
  for page in "$man_dir"/*.1; do
    warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1 || true)"
    if [ -n "$warnings" ]; then
      fail "${page#"$root"/}: groff warnings:"
      printf '%s\n' "$warnings" >&2
    fi
  done
fi

if [ "$failures" -ne 0 ]; then
  echo "check-man: $failures problem(s)" >&2
  exit 1
fi
echo "check-man: manual pages match the tools"
