#!/usr/bin/env bash
# The shared library exports the tkcmdset_* API and nothing else, under the SONAME of the
# project's major version, and the Debian symbols file lists exactly those exports:
#   exports_test.sh LIBRARY MAJOR SYMBOLS_FILE
set -euo pipefail
library=$1
major=$2
symbols=$3
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

# A new export needs its line in the symbols file, with the release that brings it.
if [ "$(head -n 1 "$symbols")" != "libvortlink.so.$major libvortlink$major #MINVER#" ]; then
    echo "$symbols does not start with libvortlink.so.$major libvortlink$major #MINVER#" >&2
    exit 1
fi
listed=$(sed -n 's/^ \(tkcmdset_[a-z0-9_]*\)@Base [0-9][0-9.]*$/\1/p' "$symbols" | sort)
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$listed" != "$exported" ]; then
    echo "symbols file and exports differ (< symbols file, > library):" >&2
    diff <(echo "$listed") <(echo "$exported") >&2 || true
    exit 1
fi
echo "symbols file lists all $count exports"
