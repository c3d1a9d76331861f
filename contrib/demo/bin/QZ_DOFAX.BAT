#!/bin/sh
# Demo fax script: shows the lines of the fax job, each one argument.
printf 'QZ_DOFAX.BAT received %d arguments:' "$#"
# A control character (a line feed above all) is shown as ?, so no argument
# can forge a line of the output.
for a in "$@"; do printf ' [%s]' "$(printf '%s' "$a" | LC_ALL=C tr '\000-\037\177' '[?*]')"; done
printf '\n'
