#!/bin/sh
# Demo alarm program: shows what the watcher handed over.
# Arguments: group, message id, text or 0, console name, archive file name.
echo "QZARUN.CMD: alarm for group '$1', message '$2', text '$3', console '$4', archived as '$5'"
