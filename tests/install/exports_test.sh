#!/usr/bin/env bash
# The shared library exports the tkcmdset_* API and nothing else, under the SONAME of the
# project's major version: exports_test.sh LIBRARY MAJOR
set -euo pipefail
library=$1
major=$2
others=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^tkcmdset_' || true)
if [ -n "$others" ]; then
    echo "exported besides tkcmdset_*:" >&2
    echo "$others" >&2
    exit 1
fi
count=$(nm -D --defined-only "$library" | grep -c ' tkcmdset_')
[ "$count" -ge 10 ] || { echo "only $count tkcmdset_* exports" >&2; exit 1; }
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
if [ "$soname" != "libvortlink.so.$major" ]; then
    echo "SONAME '$soname', expected libvortlink.so.$major" >&2
    exit 1
fi
echo "SONAME $soname, $count exports"
