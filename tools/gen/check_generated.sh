#!/bin/sh
# Regenerates the result-code and property-tag tables from the published
# headers and compares them with the checked-in ones.
#   check_generated.sh SOURCE_DIR [HEADER_DIR]
set -eu
src=$1
hdr=${2:-/usr/include/wine/wine/windows}
if [ ! -f "$hdr/mapicode.h" ]; then
  echo "check_generated: no published headers in $hdr (Debian's libwine-dev)"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 "$src/tools/gen/gen_codes.py" "$hdr" "$out"
python3 "$src/tools/gen/gen_tags.py" "$hdr/mapitags.h" "$out/MapiTags.inc"
status=0
for f in ComCodes MapiCodes WinErrorCodes; do
  cmp "$out/$f.inc" "$src/platform/base/$f.inc" || status=1
done
cmp "$out/MapiTags.inc" "$src/platform/mapi/MapiTags.inc" || status=1
[ $status -eq 0 ] && echo "check_generated: the tables match their generators"
exit $status
