#!/bin/sh
# Demo fax script: shows the lines of the fax job; the second line, in quotes
# on the command line, arrives as one argument.
printf 'QZ_DOFAX.BAT received %d arguments:' "$#"
for a in "$@"; do printf ' [%s]' "$a"; done
printf '\n'
