#!/bin/sh
# Demo warning: none of the alternative consoles is alive.
echo "QZA_WARN.CMD: no alternative console is alive"
