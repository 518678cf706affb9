#!/usr/bin/env bash
# The shared library exports the tkcmdset_* API and nothing else, under a versioned SONAME.
set -euo pipefail
library=$1
others=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^tkcmdset_' || true)
if [ -n "$others" ]; then
    echo "exported besides tkcmdset_*:" >&2
    echo "$others" >&2
    exit 1
fi
count=$(nm -D --defined-only "$library" | grep -c ' tkcmdset_')
[ "$count" -ge 10 ] || { echo "only $count tkcmdset_* exports" >&2; exit 1; }
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
case "$soname" in
    libvortlink.so.[0-9]*) echo "SONAME $soname, $count exports" ;;
    *) echo "unexpected SONAME '$soname'" >&2; exit 1 ;;
esac
