#!/usr/bin/env bash
# Builds the roff manual pages docs/man/*.1 from their Markdown sources
# docs/man/*.1.md, which are the pages people edit (and read on the web).
#
#   gen-man.sh                 regenerate every docs/man/*.1
#   gen-man.sh --check         exit 1 when a docs/man/*.1 is out of date
#   gen-man.sh PAGE.1.md       print the roff text of one page
#   gen-man.sh --from-help BIN print Markdown option entries taken from
#                              BIN --help (and BIN SUB --help), as a starting
#                              point when options are added
#
# The Markdown is a small subset, one construct per block:
#   "# name(1)"                 title line (first line of the file)
#   "## NAME", "### sub"        section and subsection headings
#   paragraphs                  consecutive non-blank lines (joined; roff
#                               fills them, so inline markup may span lines)
#   "- `--opt` *ARG*: text"     a term (code span first) and its description;
#                               continuation lines are indented by two spaces
#   "- text"                    a bulleted item
#   "```" ... "```"             a literal block
#   `code`, **bold**, *italic*, [text](link) inline; links keep their text.
# The output is deterministic (no date), so it can be checked in and compared.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
man_dir="$root/docs/man"

project_version() {
  sed -n 's/^project([a-z_]* VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt" | head -n 1
}

# Markdown on stdin, roff on stdout.
to_roff() {
  local version
  version="$(project_version)"
  awk -v version="$version" '
    function esc(s, dashes) {
      gsub(/\\/, "\\e", s)
      if (dashes) gsub(/-/, "\\-", s)
      return s
    }
    # Inline markup of one line of text.
    function inl(s,    out, i, n, c, rest, j, k, text) {
      out = ""
      n = length(s)
      i = 1
      while (i <= n) {
        c = substr(s, i, 1)
        rest = substr(s, i + 1)
        if (c == "`" && (j = index(rest, "`")) > 0) {
          out = out "\\fB" esc(substr(rest, 1, j - 1), 1) "\\fR"
          i += j + 1
          continue
        }
        if (substr(s, i, 2) == "**" && (j = index(substr(s, i + 2), "**")) > 1) {
          out = out "\\fB" esc(substr(s, i + 2, j - 1), 1) "\\fR"
          i += j + 3
          continue
        }
        if (c == "*" && (j = index(rest, "*")) > 1) {
          out = out "\\fI" esc(substr(rest, 1, j - 1), 0) "\\fR"
          i += j + 1
          continue
        }
        if (c == "[" && (j = index(rest, "](")) > 0 && (k = index(substr(rest, j + 2), ")")) > 0) {
          text = substr(rest, 1, j - 1)
          out = out inl(text)
          i += j + 2 + k
          continue
        }
        out = out esc(c, 0)
        i++
      }
      return out
    }
    # A line of roff text must not start with a control character.
    function line(s) {
      if (s ~ /^[.'"'"']/) s = "\\&" s
      print s
    }
    # Position of the first ": " outside code spans, 0 when none.
    function term_end(s,    i, n, c, code) {
      n = length(s)
      code = 0
      for (i = 1; i < n; i++) {
        c = substr(s, i, 1)
        if (c == "`") code = !code
        else if (!code && c == ":" && substr(s, i + 1, 1) == " ") return i
      }
      return 0
    }
    function flush_para(    out) {
      if (para == "") return
      out = inl(para)
      # whatis(1) needs "name \- summary" in NAME.
      if (section == "NAME") sub(/ - /, " \\- ", out)
      print ".PP"
      line(out)
      para = ""
    }
    function flush_item(    t) {
      if (item == "") return
      if (substr(item, 1, 1) == "`" && (t = term_end(item)) > 0) {
        print ".TP"
        line(inl(substr(item, 1, t - 1)))
        line(inl(substr(item, t + 2)))
      } else {
        print ".IP \\(bu 2"
        line(inl(item))
      }
      item = ""
    }
    function flush_all() { flush_para(); flush_item() }
    BEGIN { para = ""; item = ""; literal = 0; section = "" }
    NR == 1 {
      if (match($0, /^# [^(]+\([0-9]\)$/)) {
        name = substr($0, 3)
        sub(/\(.*/, "", name)
        num = $0
        sub(/^.*\(/, "", num)
        sub(/\)$/, "", num)
        printf ".TH \"%s\" \"%s\" \"\" \"proxyhelper %s\" \"User Commands\"\n", toupper(esc(name, 1)), num, version
        next
      }
      print "gen-man: the first line must be \"# name(N)\"" > "/dev/stderr"
      exit 1
    }
    literal {
      if ($0 ~ /^```/) {
        print ".fi"
        print ".RE"
        literal = 0
      } else {
        line(esc($0, 0))
      }
      next
    }
    /^```/ {
      flush_all()
      print ".PP"
      print ".RS 4"
      print ".nf"
      literal = 1
      next
    }
    /^## / {
      flush_all()
      section = substr($0, 4)
      print ".SH " esc(section, 0)
      next
    }
    /^### / {
      flush_all()
      print ".SS " esc(substr($0, 5), 0)
      next
    }
    /^[ \t]*$/ { flush_all(); next }
    /^- / { flush_all(); item = substr($0, 3); next }
    /^  / && item != "" { s = $0; sub(/^ +/, "", s); item = item " " s; next }
    {
      flush_item()
      para = (para == "") ? $0 : para " " $0
    }
    END {
      if (literal) { print "gen-man: unclosed literal block" > "/dev/stderr"; exit 1 }
      flush_all()
    }
  '
}

render_page() {
  to_roff <"$1"
}

# Markdown option entries from a tool's --help text (CLI11 layout).
from_help() {
  local bin="$1"
  help_options() {
    # CLI11 prints "  NAMES TYPE[=DEFAULT] [REQUIRED] [(Env:VAR)]", then two
    # or more spaces and the description, which moves to the next line when
    # the first part is too long.
    awk '
      function emit(    n, i, names, term, type, extra, word) {
        n = split(spec_names, names, ",")
        term = ""
        for (i = 1; i <= n; i++) {
          sub(/[{=].*/, "", names[i])
          term = term (i > 1 ? ", " : "") "`" names[i] "`"
        }
        type = spec_rest
        extra = ""
        if (match(type, /\(Env:[A-Z0-9_]+\)/)) {
          extra = extra " Environment **" substr(type, RSTART + 5, RLENGTH - 6) "**."
          type = substr(type, 1, RSTART - 1) substr(type, RSTART + RLENGTH)
        }
        if (type ~ /REQUIRED/) { extra = " (required)" extra; sub(/REQUIRED/, "", type) }
        if (type ~ /\.\.\./) { extra = extra " Repeatable."; sub(/\.\.\./, "", type) }
        if (match(type, /=[^ ]+/)) {
          extra = extra " Default `" substr(type, RSTART + 1, RLENGTH - 1) "`."
          type = substr(type, 1, RSTART - 1) substr(type, RSTART + RLENGTH)
        }
        split(type, word, " ")
        if (desc != "" && desc !~ /[.)]$/) desc = desc "."
        printf "- %s%s: %s%s\n", term, (word[1] != "" ? " *" word[1] "*" : ""), desc, extra
        pending = 0
      }
      function split_head(head) {
        spec_names = head
        sub(/ .*/, "", spec_names)
        spec_rest = (index(head, " ") > 0) ? substr(head, index(head, " ") + 1) : ""
      }
      # A first part that fills its column exactly is followed by a single
      # space; that split is only right when no continuation line follows.
      function flush_pending() {
        if (!pending) return
        if (alt_desc != "") { split_head(alt_head); desc = alt_desc }
        emit()
      }
      /^[A-Za-z][A-Za-z ]*:$/ { flush_pending(); in_opts = ($0 == "Options:"); next }
      in_opts && pending && /^      / { desc = $0; sub(/^ +/, "", desc); emit(); next }
      in_opts && /^  -/ {
        flush_pending()
        line = substr($0, 3)
        gap = index(line, "  ")
        desc = ""
        alt_desc = ""
        if (gap > 0) {
          split_head(substr(line, 1, gap - 1))
          desc = substr(line, gap)
          sub(/^ +/, "", desc)
          emit()
          next
        }
        split_head(line)
        if (length(line) > 28 && substr(line, 28, 1) == " ") {
          alt_head = substr(line, 1, 27)
          alt_desc = substr(line, 29)
        }
        pending = 1
        next
      }
      in_opts && pending { flush_pending() }
      END { flush_pending() }
    '
  }
  echo "## OPTIONS"
  echo
  "$bin" --help | help_options
  local sub
  for sub in $("$bin" --help | awk '/^Subcommands:$/ { s = 1; next } s && /^  [a-z]/ { print $1 } /^$/ { s = 0 }'); do
    echo
    echo "### $sub"
    echo
    "$bin" "$sub" --help | help_options
  done
}

case "${1:-}" in
  --from-help)
    [ $# -eq 2 ] || { echo "usage: gen-man.sh --from-help BINARY" >&2; exit 2; }
    from_help "$2"
    ;;
  --check)
    status=0
    for md in "$man_dir"/*.1.md; do
      page="${md%.md}"
      if ! render_page "$md" | cmp -s - "$page"; then
        echo "gen-man: ${page#"$root"/} is out of date; run scripts/gen-man.sh" >&2
        status=1
      fi
    done
    exit "$status"
    ;;
  "")
    for md in "$man_dir"/*.1.md; do
      page="${md%.md}"
      render_page "$md" >"$page.tmp"
      mv "$page.tmp" "$page"
      echo "gen-man: wrote ${page#"$root"/}"
    done
    ;;
  -*)
    echo "usage: gen-man.sh [--check | PAGE.1.md | --from-help BINARY]" >&2
    exit 2
    ;;
  *)
    render_page "$1"
    ;;
esac
