#!/bin/sh
# The garvel.pc that `cmake --install --prefix STAGE` installed names STAGE,
# not the prefix configured, and leads to the installed files.
# Usage: check_pkgconfig_prefix.sh STAGE LIBDIR DATADIR CONFIGURED_PREFIX
set -u
stage=$1 libdir=$2 datadir=$3 configured=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$stage" != "$configured" ] || fail "the stage is the configured prefix: nothing to tell apart"
export PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
prefix=$(pkg-config --variable=prefix garvel) || fail "pkg-config finds no garvel.pc"
[ "$prefix" = "$stage" ] || fail "garvel.pc names prefix '$prefix', not '$stage'"
inc=$(pkg-config --variable=includedir garvel)
[ -f "$inc/garvel/xcGarvel.h" ] || fail "no headers under includedir '$inc'"
lib=$(pkg-config --variable=libdir garvel)
[ -e "$lib/libgarv.so" ] || fail "no library under libdir '$lib'"
[ -f "$stage/$datadir/garvel/gsm0338.ini" ] || fail "the standard GSM translation file is not installed"
# The installed tool names the file where it lies.
if [ -x "$stage/bin/garvel" ]; then
  "$stage/bin/garvel" --help | grep -qF "$stage/$datadir/garvel/gsm0338.ini" ||
    fail "garvel --help does not name the installed translation file"
fi
echo "pkg-config prefix test passed"
