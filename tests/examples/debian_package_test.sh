#!/bin/sh
# Builds the Debian package with cpack and checks that it holds what Debian expects where it
# expects it, and that it depends on the libraries the programs link.
# Argument: the build folder.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" > cpack.log 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$work"/velmora_*_*.deb) || fail "no package"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$work/contents"
for path in /usr/bin/velmora /usr/bin/velmora-vdeck /usr/bin/tovik-regsvr /usr/bin/pelko-hidcaps \
            /usr/lib/libtovik.so.1 /usr/lib/libpelko.so.1 /usr/lib/libvelmora-platform.so.1 \
            /usr/lib/velmora/TovikSrcBrdg.so /usr/include/velmora/tovik.h \
            /usr/include/velmora/pelko.h /usr/include/velmora/platform.h \
            /usr/lib/pkgconfig/tovik.pc /usr/lib/pkgconfig/pelko.pc \
            /usr/lib/cmake/Velmora/VelmoraConfig.cmake \
            /usr/share/applications/velmora.desktop \
            /usr/share/icons/hicolor/scalable/apps/velmora.svg \
            /usr/share/icons/hicolor/48x48/apps/velmora.png \
            /usr/lib/udev/rules.d/70-velmora-jog.rules /usr/share/man/man1/velmora.1; do
    grep -qx "$path" "$work/contents" || fail "the package has no $path"
done
grep -q "^/usr/local\|^/home\|^/tmp" "$work/contents" && fail "the package installs outside /usr"
# The jog controller's rule runs the packaged helper, wherever the build tree was.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/udev/rules.d/70-velmora-jog.rules |
    grep -q 'IMPORT{program}="/usr/bin/pelko-hidcaps --udev' ||
    fail "the udev rule does not run /usr/bin/pelko-hidcaps"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6widgets6 libavcodec libasound2 libraw1394; do
    echo "$depends" | grep -q "$dep" || fail "Depends lacks $dep: $depends"
done
echo "debian package: ok ($(basename "$deb"))"
