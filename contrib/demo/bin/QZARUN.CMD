#!/bin/sh
# Demo alarm program: shows the arguments the watcher handed over. They are
# group, message id, text (or 0), console name and archive file name; a field
# with blanks arrives as several arguments.
printf 'QZARUN.CMD received %d arguments:' "$#"
for a in "$@"; do printf ' [%s]' "$a"; done
printf '\n'
