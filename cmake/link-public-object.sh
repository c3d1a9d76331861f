#!/bin/sh
# Links every object of an archive into one relocatable object and makes its
# hidden symbols local, so that a program linking the object reaches only the
# symbols of default visibility.
#   link-public-object.sh LD OBJCOPY READELF OUTPUT ARCHIVE
# The pointers to the C++ personality routine (DW.ref.*) stay as they are:
# every C++ object holds one in a group that the final link keeps once, and a
# local copy in a discarded group would leave our unwind tables without their
# personality routine, so cleanups would be skipped while an exception passes.
set -eu
ld=$1
objcopy=$2
readelf=$3
output=$4
archive=$5
"$ld" -r -o "$output.tmp" --whole-archive "$archive" --no-whole-archive
"$readelf" -sW "$output.tmp" |
  awk '($5 == "GLOBAL" || $5 == "WEAK") && $6 == "HIDDEN" && $7 != "UND" &&
       $8 !~ /^DW\.ref\./ { print $8 }' | sort -u >"$output.hidden"
# (objcopy fails on an empty list.)
if [ -s "$output.hidden" ]; then
  "$objcopy" --localize-symbols="$output.hidden" "$output.tmp"
fi
rm -f "$output.hidden"
mv "$output.tmp" "$output"
