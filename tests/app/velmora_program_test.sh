#!/usr/bin/env bash
# The velmora program itself on a virtual X display, driven like a person would: it starts,
# connects to a running velmora-vdeck with the ON button, shows the tape's moving picture after
# play, asks before it quits on Esc, and ends when the question is answered Yes.
# usage: velmora_program_test.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work/run HOME=$work/home VELMORA_REGISTRY=$work/registry
mkdir -p "$XDG_RUNTIME_DIR" "$HOME" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM

fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$("$bin/velmora" --version)" = "Velmora 1.6.0.7" ] || fail "--version"

"$bin/tovik-regsvr" "$bin/TovikSrcBrdg.so" > /dev/null
"$bin/velmora-vdeck" --make-tape "$work/tape.dv" --seconds 10 > /dev/null
"$bin/velmora-vdeck" --tape "$work/tape.dv" --name "Test Deck" > "$work/deck.log" 2>&1 &
for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/velmora/decks/Test Deck" ] && break; sleep 0.1; done

cat > "$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
set -euo pipefail
bin=$1 work=$2
fail() { echo "FAIL: $*" >&2; tail -60 "$work/velmora.log" >&2; exit 1; }
"$bin/velmora" > "$work/velmora.log" 2>&1 &
app=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --name "^Velmora v1.6" 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break; sleep 0.1
done
[ -n "$win" ] || fail "no window"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"
[ "$WIDTH" -ge 400 ] || fail "window width $WIDTH"

# ON (left end of the strip), then play; the strip moves down under the picture.
xdotool mousemove --window "$win" 20 250 click 1
sleep 2
eval "$(xdotool getwindowgeometry --shell "$win")"
[ "$HEIGHT" -gt 320 ] || fail "the window did not grow for the picture (height $HEIGHT)"
# The strip (84 pixels high in the dialog font) starts 10 pixels below the 240-pixel picture.
play_y=$(( HEIGHT - 84 + 27 ))
xdotool mousemove --window "$win" 153 "$play_y" click 1
sleep 2
import -window "$win" "$work/connected.png"
# The picture area is not black and not flat: colour bars and a moving box.
spread=$(convert "$work/connected.png" -crop 360x240+65+5 +repage -colorspace Gray \
         -format '%[fx:standard_deviation*100]' info:)
awk -v s="$spread" 'BEGIN { exit !(s > 5) }' || fail "no picture (spread $spread)"

# Esc asks; Return answers Yes (the default); the program ends.
xdotool windowfocus --sync "$win" 2>/dev/null || true
xdotool key --window "$win" Escape
sleep 1
box=$(xdotool search --name "^Velmora$" 2>/dev/null | head -1 || true)
[ -n "$box" ] || fail "no question before quitting"
xdotool windowfocus --sync "$box" 2>/dev/null || true
xdotool key Return
for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "velmora still running after Yes"
wait "$app" || fail "velmora exit status $?"
echo "velmora program: connected, showed a picture, quit after the question"
SESSION
chmod +x "$work/session.sh"
xvfb-run -a -s "-screen 0 1280x1024x24" "$work/session.sh" "$bin" "$work"
