#!/bin/sh
# Example QZ_DOFAX.BAT: the fax script. Arguments: the four lines of the fax
# job, the second one in quotes.
# Replace it by the installation's own program. This one records the start and
# its arguments in log/programs.log of the installation directory.
log="$(dirname "$0")/../log/programs.log"
{
  printf '%s QZ_DOFAX.BAT' "$(date '+%Y-%m-%d %H:%M:%S')"
  for argument in "$@"; do printf ' [%s]' "$argument"; done
  printf '\n'
} >> "$log"
