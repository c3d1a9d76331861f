#!/bin/sh
# Example QZA_WARN.BAT: a required console ($1) has fallen silent.
# Replace it by the installation's own program. This one records the start and
# its arguments in log/programs.log of the installation directory.
log="$(dirname "$0")/../log/programs.log"
{
  printf '%s QZA_WARN.BAT' "$(date '+%Y-%m-%d %H:%M:%S')"
  for argument in "$@"; do printf ' [%s]' "$argument"; done
  printf '\n'
} >> "$log"
