#!/bin/sh
# toolbox.txt for the shell scripts and Makefiles (its format is described at its top):
#   scripts/toolbox-list.sh LIST modules|functions|includes   names or folders, one a line
#   scripts/toolbox-list.sh LIST flags|warnings               the flags, on one line
#   scripts/toolbox-list.sh LIST sources MODULE               NAME/NAME.cpp and its extra sources
# An entry it cannot read, or a module not listed, fails with a message naming it.
set -eu
list=$1
what=$2
module=${3:-}
awk -v what="$what" -v module="$module" '
function fail(message) {
    print FILENAME ":" FNR ": " message >"/dev/stderr"
    failed = 1
    exit 1
}
/^[ \t]*(#|$)/ { next }
$1 == "module" {
    if (NF < 2 || ($2 in seen)) fail("cannot read \"" $0 "\"")
    seen[$2] = 1
    part = ""
    sources = $2 "/" $2 ".cpp"
    for (i = 3; i <= NF; i++) {
        if ($i == "SOURCES" || $i == "NARROWER") part = $i
        else if (part == "SOURCES") sources = sources "\n" $i
        else if (part != "NARROWER") fail("cannot read \"" $0 "\"")
    }
    if (what == "modules") print $2
    if (what == "sources" && $2 == module) { print sources; found = 1 }
    next
}
$1 == "function" || $1 == "include" {
    if (NF < 2) fail("cannot read \"" $0 "\"")
    for (i = 2; $1 == "function" && i <= NF; i++) {
        if ($i in seen) fail($i " is listed twice")
        seen[$i] = 1
    }
    if (what == $1 "s") for (i = 2; i <= NF; i++) print $i
    next
}
$1 == "flags" || $1 == "warnings" {
    if (what == $1) { sub(/^[ \t]*[a-z]+[ \t]*/, ""); print }
    next
}
{ fail("cannot read \"" $0 "\"") }
END {
    if (failed) exit 1
    if (what == "sources" && !found) {
        print "no module " module " in " FILENAME >"/dev/stderr"
        exit 1
    }
    if (what !~ /^(modules|functions|includes|flags|warnings|sources)$/) {
        print "toolbox-list.sh: nothing called " what >"/dev/stderr"
        exit 1
    }
}
' "$list"
