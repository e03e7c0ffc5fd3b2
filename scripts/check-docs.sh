#!/bin/sh
# Checks the documentation pages: README.md and docs/*.md.
#
# - Every relative link and image ([text](target), ![alt](target) and
#   reference definitions "[label]: target") names a file or folder that
#   exists, relative to the folder of the page that links (a target starting
#   with / is taken from the repository's root). Links to http(s), ftp and
#   mailto are not followed.
# - A link with #anchor into a Markdown file (or "#anchor" alone, into its own
#   page) names one of that file's headings, by the slug GitHub gives it:
#   lower case, each space a '-', punctuation other than '-' and '_' removed,
#   letters (Cyrillic among them) kept, "-1", "-2" ... after a repeated one.
# - Every docs/*.md can be reached from README.md by following such links.
# - README.md stays a front page: at most 9000 bytes.
#
# Links inside fenced code blocks and inline code are not links, and are left
# alone. Each broken link is printed as "file: target", then the script exits
# 1; otherwise it prints one line of summary and exits 0.
#
# Needs only a POSIX sh, coreutils, sed and awk (mawk will do).
# Usage: scripts/check-docs.sh
set -eu
cd "$(dirname "$0")/.."
LC_ALL=C
export LC_ALL

readme_limit=9000
tab=$(printf '\t')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# The pages, as the positional parameters.
set -- README.md
for page in docs/*.md; do
  if [ -f "$page" ]; then set -- "$@" "$page"; fi
done

# The awk functions both passes share: fenced code blocks, and %XX escapes.
common='
function fence_line(line,    marker) {
  # Opens or closes a fenced code block; returns 1 for a fence line.
  if (match(line, /^ ? ? ?(```+|~~~+)/)) {
    marker = substr(line, RSTART, RLENGTH)
    sub(/^ +/, "", marker)
    if (fence == "") { fence = marker; return 1 }
    if (substr(marker, 1, 1) == substr(fence, 1, 1) && length(marker) >= length(fence) &&
        line ~ /^ ? ? ?(```+|~~~+)[ \t]*$/) { fence = ""; return 1 }
  }
  return 0
}
function decode(s,    out, i, c, hex) {
  out = ""
  for (i = 1; i <= length(s); i++) {
    c = substr(s, i, 1)
    hex = tolower(substr(s, i + 1, 2))
    if (c == "%" && hex ~ /^[0-9a-f][0-9a-f]$/) {
      out = out sprintf("%c", index("0123456789abcdef", substr(hex, 1, 1)) * 16 - 16 + \
                              index("0123456789abcdef", substr(hex, 2, 1)) - 1)
      i += 2
    } else {
      out = out c
    }
  }
  return out
}
'

# Every link of the pages: file, target as written, target decoded.
awk "$common"'
FNR == 1 { fence = "" }
{
  if (fence_line($0) || fence != "") next
  line = $0
  gsub(/`[^`]*`/, "", line)
  if (match(line, /^ ? ? ?\[[^]]+\]:[ \t]+/)) {
    target = substr(line, RSTART + RLENGTH)
    if (target ~ /^</) { sub(/^</, "", target); sub(/>.*/, "", target) }
    else sub(/[ \t].*/, "", target)
    if (target != "") print FILENAME "\t" target "\t" decode(target)
    next
  }
  while ((i = index(line, "](")) > 0) {
    line = substr(line, i + 2)
    target = line
    if (target ~ /^</) { sub(/^</, "", target); sub(/>.*/, "", target) }
    else sub(/[ \t)].*/, "", target)
    if (target != "") print FILENAME "\t" target "\t" decode(target)
  }
}' "$@" >"$work/links"

# The anchors of a Markdown file's headings, one a line.
slugs() {
  awk "$common"'
BEGIN { for (i = 1; i < 256; i++) ord[sprintf("%c", i)] = i }
function utf8(cp) {
  if (cp < 128) return sprintf("%c", cp)
  if (cp < 2048) return sprintf("%c%c", 192 + int(cp / 64), 128 + cp % 64)
  return sprintf("%c%c%c", 224 + int(cp / 4096), 128 + int(cp / 64) % 64, 128 + cp % 64)
}
function kept(cp) {
  # The letters a slug keeps, lower-cased; -1 for everything else.
  if (cp >= 1040 && cp <= 1071) return cp + 32            # Cyrillic А-Я
  if (cp >= 1024 && cp <= 1039) return cp + 80            # Cyrillic Ѐ-Џ (Ё among them)
  if (cp >= 1072 && cp <= 1279) return cp                 # Cyrillic а-я and the rest
  if (cp >= 192 && cp <= 222 && cp != 215) return cp + 32 # Latin-1 capitals
  if (cp >= 223 && cp <= 591 && cp != 247) return cp      # Latin letters
  if (cp >= 913 && cp <= 937) return cp + 32              # Greek capitals
  if (cp >= 940 && cp <= 1023) return cp                  # Greek
  return -1
}
function slug(text,    out, i, n, c, b, cp, more) {
  gsub(/!?\[/, "", text)
  gsub(/\]\([^)]*\)/, "", text)
  gsub(/<[^>]*>/, "", text)
  text = tolower(text)
  out = ""
  n = length(text)
  for (i = 1; i <= n; i++) {
    c = substr(text, i, 1)
    b = ord[c]
    if (c ~ /[a-z0-9_-]/) out = out c
    else if (c == " ") out = out "-"
    else if (b >= 192) {
      if (b < 224) { cp = b - 192; more = 1 }
      else if (b < 240) { cp = b - 224; more = 2 }
      else { cp = b - 240; more = 3 }
      while (more-- > 0 && i < n) { i++; cp = cp * 64 + ord[substr(text, i, 1)] - 128 }
      cp = kept(cp)
      if (cp >= 0) out = out utf8(cp)
    }
  }
  if (seen[out]++) out = out "-" (seen[out] - 1)
  return out
}
{
  if (fence_line($0)) { previous = ""; next }
  if (fence != "") next
  text = $0
  sub(/^ ? ? ?/, "", text)
  if (match(text, /^#+/) && RLENGTH <= 6 && substr(text, RLENGTH + 1, 1) ~ /^([ \t]|)$/) {
    sub(/^#+[ \t]*/, "", text)
    sub(/[ \t]+#+[ \t]*$/, "", text)
    sub(/^#+[ \t]*$/, "", text)
    sub(/[ \t]+$/, "", text)
    print slug(text)
    previous = ""
    next
  }
  if (previous != "" && $0 ~ /^ ? ? ?(=+|-+)[ \t]*$/) {
    text = previous
    sub(/^[ \t]+/, "", text)
    sub(/[ \t]+$/, "", text)
    print slug(text)
    previous = ""
    next
  }
  if ($0 ~ /^[ \t]*$/ || $0 ~ /^    / || $0 ~ /^ *([-*+>|]|[0-9]+[.)])/) previous = ""
  else previous = $0
}' "$1"
}

# A path without its "." and ".." parts.
normalize() {
  out=""
  saved_ifs=$IFS
  IFS=/
  set -f
  for part in $1; do
    case $part in
      '' | .) ;;
      ..)
        case $out in
          '' | .. | */..) out=${out:+$out/}.. ;;
          */*) out=${out%/*} ;;
          *) out="" ;;
        esac
        ;;
      *) out=${out:+$out/}$part ;;
    esac
  done
  set +f
  IFS=$saved_ifs
  printf '%s\n' "${out:-.}"
}

broken=0
checked=0
external=0
: >"$work/edges"
while IFS=$tab read -r file target decoded; do
  case $target in
    http://* | https://* | ftp://* | mailto:*)
      external=$((external + 1))
      continue
      ;;
  esac
  checked=$((checked + 1))
  path=${decoded%%#*}
  anchor=""
  case $decoded in *'#'*) anchor=${decoded#*#} ;; esac
  case $path in
    '') resolved=$file ;;
    /*) resolved=$(normalize "$path") ;;
    *) resolved=$(normalize "$(dirname "$file")/$path") ;;
  esac
  if [ ! -e "$resolved" ]; then
    echo "$file: $target"
    broken=$((broken + 1))
    continue
  fi
  case $resolved in
    *.md)
      printf '%s\t%s\n' "$file" "$resolved" >>"$work/edges"
      if [ -n "$anchor" ] && ! slugs "$resolved" | grep -qxF -e "$anchor"; then
        echo "$file: $target"
        broken=$((broken + 1))
      fi
      ;;
  esac
done <"$work/links"

# The pages README.md does not lead to, through any number of pages.
unreachable=$(
  printf '%s\n' "$@" | awk -F "$tab" -v edges="$work/edges" '
    FILENAME == edges { to[$1] = to[$1] "\t" $2; next }
    { page[$0] = 1 }
    END {
      queue[n = 1] = "README.md"
      reached["README.md"] = 1
      for (head = 1; head <= n; head++) {
        m = split(to[queue[head]], linked, "\t")
        for (i = 2; i <= m; i++)
          if (!(linked[i] in reached)) { reached[linked[i]] = 1; queue[++n] = linked[i] }
      }
      for (p in page) if (!(p in reached)) print p
    }' "$work/edges" -
)
failed=0
for page in $unreachable; do
  echo "$page: not linked from README.md, nor from any page it leads to" >&2
  failed=1
done

readme_bytes=$(wc -c <README.md | tr -d ' ')
if [ "$readme_bytes" -gt "$readme_limit" ]; then
  echo "README.md: $readme_bytes bytes, more than $readme_limit: it is the front page; move the detail into docs/" >&2
  failed=1
fi

page_count=$#
if [ "$broken" -gt 0 ]; then
  echo "check-docs: $broken broken of $checked links (no such file, or no heading with that anchor)" >&2
  exit 1
fi
[ "$failed" -eq 0 ] || exit 1
echo "check-docs: $page_count pages, $checked relative links resolve ($external external not followed), every page reachable from README.md, README.md $readme_bytes bytes (at most $readme_limit)"
