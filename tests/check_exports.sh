#!/bin/sh
# A module must export mexFunction at version MEX and nothing else, and must
# not need the C++ runtime.
set -eu
module=$1
status=0
exports=$(readelf --dyn-syms -W "$module" | awk '$7 ~ /^[0-9]+$/ && $5 != "LOCAL" {print $8}')
if [ "$exports" != "mexFunction@@MEX" ]; then
    echo "exports of $module:"; echo "$exports"; status=1
fi
needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in libmx.so libmex.so; do
    echo "$needed" | grep -qx "$lib" || { echo "$module does not need $lib"; status=1; }
done
if echo "$needed" | grep -q 'libstdc++'; then
    echo "$module needs the C++ runtime"; status=1
fi
[ $status -eq 0 ] && echo "$module: exports mexFunction@@MEX only; needs: $(echo $needed)"
exit $status
