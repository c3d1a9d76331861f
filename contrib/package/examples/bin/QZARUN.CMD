#!/bin/sh
# Example QZARUN.CMD: the alarm program. Arguments: group, message id, text (or 0),
# console name, archive name.
# Replace it by the installation's own program. This one records the start and
# its arguments in log/programs.log of the installation directory.
log="$(dirname "$0")/../log/programs.log"
{
  printf '%s QZARUN.CMD' "$(date '+%Y-%m-%d %H:%M:%S')"
  for argument in "$@"; do printf ' [%s]' "$argument"; done
  printf '\n'
} >> "$log"
