#!/bin/sh
# Demo warning: a required console has fallen silent.
echo "QZA_WARN.BAT: console $1 is silent"
