#!/bin/sh
# man-page-current.sh PANDOC PAGE SOURCE DATE FOOTER
# Exits 0 when the checked-in troff PAGE is what PANDOC renders from SOURCE, 1 when it is
# not, and 77 (skipped) when PAGE was made by another pandoc version, whose output differs
# in form only.
set -eu
pandoc=$1 page=$2 source=$3 date=$4 footer=$5
rendered=$(mktemp)
trap 'rm -f "$rendered"' EXIT
"$pandoc" -f markdown-smart -s -t man -M "date=$date" "-Vfooter=$footer" "$source" -o "$rendered"
if [ "$(head -n 1 "$page")" != "$(head -n 1 "$rendered")" ]; then
  echo "$page was made by another pandoc version; not compared"
  exit 77
fi
if ! diff -u "$page" "$rendered"; then
  echo "$page is out of date: cmake --build <build dir> --target man-pages-fallback" >&2
  exit 1
fi
