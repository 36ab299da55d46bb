#!/bin/sh
# make install into a temporary prefix, then use what it installed as a user would: a C
# program built against fskdec.h through pkg-config (with the shared library, then the static
# one), and the Python module from PREFIX/lib/python3/dist-packages, each compared byte for
# byte with fskdec in both modes on a 16-bit and an 8-bit recording.
# usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR FSKDEC FSKENC [PYTHON]
set -eu
cmake=$1 build=$2 source=$3 fskdec=$4 fskenc=$5 python=${6:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fskdec_install_XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc=${CC:-cc}
flags="-std=c99 -Wall -Wextra -pedantic -Werror ${FSKDEC_TEST_CFLAGS:-}"
# shellcheck disable=SC2046,SC2086
"$cc" $flags "$source/tests/capi_test.c" $(pkg-config --cflags --libs fskdec) -o "$tmp/shared"
# shellcheck disable=SC2046,SC2086
"$cc" $flags "$source/tests/capi_test.c" $(pkg-config --cflags fskdec) "$prefix/lib/libfskdec.a" \
    $(pkg-config --libs sndfile) -lstdc++ -lm -o "$tmp/static"

cd "$tmp"
awk 'BEGIN { for (i = 0; i < 40; ++i) printf "line %d of the block, %c\n", i, 65 + i }' > text
"$fskenc" text a16.wav
"$fskenc" -8 -r 22050 text a8.wav
for r in a16 a8; do
    "$fskdec" -q "$r.wav" "$r.bin"
    "$fskdec" -q -r "$r.wav" "$r-r.bin"
    ./shared "$r.wav" "$r.bin" "$r-r.bin"
    ./static "$r.wav" "$r.bin" "$r-r.bin"
    if [ -n "$python" ]; then
        PYTHONPATH="$prefix/lib/python3/dist-packages" "$python" "$source/tests/test_python.py" \
            "$r.wav" "$r.bin" "$r-r.bin"
    fi
done
echo "installed library and module: as fskdec"
