#!/bin/sh
# Demo fax script: shows the four lines of the fax job.
echo "QZ_DOFAX.BAT: 1='$1' 2='$2' 3='$3' 4='$4'"
