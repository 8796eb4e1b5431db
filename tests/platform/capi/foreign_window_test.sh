#!/bin/sh
# Runs foreign-window-preview on a virtual X display of its own against a virtual deck, with a
# temporary registry that holds this build's bridge module. Exit status 77 (skipped) when there
# is no Xvfb.
# Arguments: the folder of the built programs, the preview check program, and optionally a
# file for the window's picture (PPM).
set -eu
bin=$1
check=$2
picture=${3:-}
command -v Xvfb > /dev/null || { echo "no Xvfb: skipped"; exit 77; }

work=$(mktemp -d)
server=
deck=
cleanup() {
    [ -n "$deck" ] && kill "$deck" 2> /dev/null && wait "$deck" 2> /dev/null
    [ -n "$server" ] && kill "$server" 2> /dev/null && wait "$server" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Xvfb picks a free display number and writes it to the descriptor once it accepts clients.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
server=$!
exec 3>&-
tries=0
until [ -s "$work/display" ]; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
    kill -0 "$server" 2> /dev/null || { cat "$work/xvfb.log"; fail "Xvfb ended"; }
    sleep 0.1
done
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM || true

export VELMORA_REGISTRY=$work/registry
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$bin/tovik-regsvr" "$bin/TovikSrcBrdg.so" > /dev/null || fail "registering the bridge"
"$bin/velmora-vdeck" --make-tape "$work/tape.dv" --seconds 8 > /dev/null || fail "make tape"
"$bin/velmora-vdeck" --tape "$work/tape.dv" --name Foreign > "$work/deck.log" 2>&1 &
deck=$!
tries=0
until ls "$XDG_RUNTIME_DIR"/velmora/decks/* > /dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || fail "the virtual deck did not start"
    sleep 0.1
done

status=0
"$check" ${picture:+"$work/window.ppm"} || status=$?
[ $status -eq 0 ] || fail "the preview check ended with status $status"
[ -z "$picture" ] || cp "$work/window.ppm" "$picture"
