#!/bin/sh
# Example QZARUN.CMD: the alarm program. Arguments: group, message id, text (or 0),
# console name, archive name.
# Replace it by the installation's own program. This one records the start and
# its arguments in log/programs.log of the installation directory.
log="$(dirname "$0")/../log/programs.log"
# A control character (a line feed above all) is logged as ?, so no argument
# can forge a line of the log.
printable() { printf '%s' "$1" | LC_ALL=C tr '\000-\037\177' '[?*]'; }
line="$(date '+%Y-%m-%d %H:%M:%S') QZARUN.CMD"
for argument in "$@"; do line="$line [$(printable "$argument")]"; done
# One write for the whole line, so that programs started together never mix
# their lines.
printf '%s\n' "$line" >> "$log"
