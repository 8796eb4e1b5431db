#!/bin/sh
# Installs the build into a temporary prefix, builds the examples from that tree alone with
# pkg-config (and a CMake project with find_package), and runs them against a virtual deck with
# an empty registry: the bridge module must register itself at first use.
# Arguments: the build folder, the source folder.
set -eu
build=$1
source=$2
work=$(mktemp -d)
deck=
cleanup() {
    [ -n "$deck" ] && kill "$deck" 2>/dev/null && wait "$deck" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -1 | xargs dirname)

# The installed tree: versioned libraries with their SONAMEs, headers, package files, manuals.
for lib in tovik pelko velmora-platform; do
    [ -L "$libdir/lib$lib.so" ] || fail "no development link lib$lib.so"
    readelf -d "$libdir/lib$lib.so.1" | grep -q "SONAME.*\[lib$lib.so.1\]" || fail "SONAME of lib$lib"
done
for f in include/velmora/tovik.h include/velmora/pelko.h include/velmora/platform.h \
         share/man/man1/velmora.1 share/man/man1/velmora-vdeck.1 share/man/man1/tovik-regsvr.1 \
         share/man/man1/pelko-hidcaps.1; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ -f "$libdir/velmora/TovikSrcBrdg.so" ] || fail "the bridge module is not installed"
for p in velmora-vdeck tovik-regsvr pelko-hidcaps; do
    "$prefix/bin/$p" --help | grep -qi usage || fail "$p --help"
done

# The examples and a strict C11 file, from the installed tree only.
export PKG_CONFIG_PATH=$libdir/pkgconfig
out=$work/bin
mkdir -p "$out"
for example in record frame2bmp list_devices; do
    gcc -std=c11 -Wall -Wextra -Werror "$source/examples/$example.c" \
        $(pkg-config --cflags --libs tovik) -o "$out/$example" || fail "building $example"
done
# The C file check as a user types it: headers, initialisation, devices, a file (run below;
# the libraries once more after the file, for linkers that drop what is not needed yet).
gcc -std=c11 -Wall -Werror $(pkg-config --cflags --libs tovik) "$source/examples/list_devices.c" \
    $(pkg-config --libs tovik) -o "$out/list_devices_c11" || fail "building list_devices as C11"
pelkoInclude=$(pkg-config --cflags-only-I pelko | sed 's/^ *-I//; s/ *$//')
[ -f "$pelkoInclude/velmora/pelko.h" ] || fail "pelko.pc names $pelkoInclude"

# The CMake package.
mkdir -p "$work/cmake-user"
cat > "$work/cmake-user/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(user C)
find_package(Velmora 0.1 REQUIRED)
add_executable(list_devices $source/examples/list_devices.c)
target_link_libraries(list_devices PRIVATE Velmora::tovik Velmora::pelko)
CMAKE
cmake -S "$work/cmake-user" -B "$work/cmake-user/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    > "$work/cmake.log" 2>&1 && cmake --build "$work/cmake-user/build" >> "$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log"; fail "find_package(Velmora)"; }

# Run against a virtual deck, with nothing registered and no display.
export LD_LIBRARY_PATH=$libdir
export VELMORA_REGISTRY=$work/registry
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM || true
"$prefix/bin/velmora-vdeck" --make-tape "$work/tape.dv" --seconds 8 > /dev/null || fail "make tape"
"$prefix/bin/velmora-vdeck" --tape "$work/tape.dv" --name Example > "$work/deck.log" 2>&1 &
deck=$!
tries=0
until ls "$XDG_RUNTIME_DIR"/velmora/decks/* > /dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || fail "the virtual deck did not start"
    sleep 0.1
done

"$out/list_devices" | grep -q "devices: 1" || fail "list_devices sees no deck"
timecode=$("$out/record" 2 "$work/take.avi") || fail "record"
echo "record printed $timecode"
echo "$timecode" | grep -Eq '^00:00:0[0-9][:;][0-9]{2}$' || fail "record printed '$timecode'"
[ -f "$VELMORA_REGISTRY"/CLSID/*/InprocServer32/* ] 2>/dev/null ||
    ls -R "$VELMORA_REGISTRY" | grep -q InprocServer32 || fail "the bridge did not register itself"

for program in list_devices list_devices_c11; do
    "$out/$program" | grep -q "devices: 1" || fail "$program sees no deck"
    "$out/$program" "$work/take.avi" | grep -Eq "frames: [1-9]" || fail "$program cannot open the take"
done
"$out/frame2bmp" "$work/take.avi" 10 "$work/frame.bmp" || fail "frame2bmp"
[ "$(stat -c %s "$work/frame.bmp")" = 1036854 ] || fail "frame.bmp has the wrong size"
if command -v ffprobe > /dev/null; then
    ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$work/frame.bmp" |
        grep -q "720,480" || fail "ffprobe does not read frame.bmp as 720x480"
fi
"$out/frame2bmp" "$work/take.avi" 100000 "$work/none.bmp" 2> /dev/null && fail "frame past the end"
[ ! -e "$work/none.bmp" ] || fail "a BMP was written for a missing frame"
echo "installed examples: ok"
