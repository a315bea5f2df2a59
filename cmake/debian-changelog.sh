#!/usr/bin/env bash
# Writes NEWS.md as a Debian changelog. The package's version has no Debian revision, so Debian
# takes /usr/share/doc/sharefetch/changelog.gz for the package's own changelog and wants it in
# that form. Each "## VERSION (YYYY-MM-DD)" or "## VERSION (YYYY-MM-DD HH:MM UTC)" heading
# becomes an entry, each "- " item under it (with its indented continuation lines) a "  * "
# line, rewrapped under 80 columns.
# Usage: debian-changelog.sh NEWS.md PACKAGE "NAME <ADDRESS>" >changelog
set -euo pipefail
news=$1 package=$2 maintainer=$3

item="" trailer="" entries=0 changes=0 number=0

flush_item() {
  [ -n "$item" ] || return 0
  local line="  *" word
  item=${item//\`/}
  for word in $item; do
    if [ $((${#line} + 1 + ${#word})) -gt 78 ] && [ "$line" != "  *" ] && [ "$line" != "   " ]; then
      printf '%s\n' "$line"
      line="   "
    fi
    line+=" $word"
  done
  printf '%s\n' "$line"
  item=""
  changes=$((changes + 1))
}
flush_entry() {
  flush_item
  [ -n "$trailer" ] || return 0
  [ "$changes" -gt 0 ] || { echo "$news:$number: the version has no '- ' item" >&2; exit 1; }
  printf '\n%s\n' "$trailer"
  trailer=""
}

set -f # the words of an item are not file patterns
while IFS= read -r line || [ -n "$line" ]; do
  number=$((number + 1))
  if [[ $line == "## "* ]]; then
    flush_entry
    # A time of day, in UTC, tells apart two versions of one day: Debian wants every entry
    # later than the one below it.
    if ! [[ $line =~ ^"## "([0-9][0-9A-Za-z.+~]*)" ("([0-9]{4}-[0-9]{2}-[0-9]{2})(" "[0-9]{2}:[0-9]{2}" UTC")?")"$ ]]; then
      echo "$news:$number: '$line' is not of the form '## VERSION (YYYY-MM-DD)' or" \
        "'## VERSION (YYYY-MM-DD HH:MM UTC)'" >&2
      exit 1
    fi
    date=$(LC_ALL=C date -u -d "${BASH_REMATCH[2]}${BASH_REMATCH[3]% UTC}" '+%a, %d %b %Y %H:%M:%S +0000') ||
      { echo "$news:$number: no such date ${BASH_REMATCH[2]}" >&2; exit 1; }
    [ "$entries" -gt 0 ] && echo
    printf '%s (%s) unstable; urgency=medium\n\n' "$package" "${BASH_REMATCH[1]}"
    trailer=" -- $maintainer  $date"
    entries=$((entries + 1)) changes=0
  elif [ -z "$trailer" ]; then
    : # the title and anything else before the first version
  elif [[ $line == "- "* ]]; then
    flush_item
    item=${line#- }
  elif [[ $line =~ ^"  "+[^\ ] ]] && [ -n "$item" ]; then
    item+=" $line"
  elif [[ $line =~ ^\ *$ ]]; then
    flush_item
  else
    echo "$news:$number: '$line' is neither a '- ' item nor its indented continuation" >&2
    exit 1
  fi
done <"$news"
flush_entry
[ "$entries" -gt 0 ] || { echo "$news has no '## VERSION (YYYY-MM-DD)' entry" >&2; exit 1; }
