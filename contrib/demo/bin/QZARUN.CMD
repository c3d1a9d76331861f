#!/bin/sh
# Demo alarm program: shows the arguments the watcher handed over. They are
# group, message id, text (or 0), console name and archive file name, each
# field one argument whatever blanks or quotes it holds.
printf 'QZARUN.CMD received %d arguments:' "$#"
# A control character (a line feed above all) is shown as ?, so no argument
# can forge a line of the output.
for a in "$@"; do printf ' [%s]' "$(printf '%s' "$a" | LC_ALL=C tr '\000-\037\177' '[?*]')"; done
printf '\n'
