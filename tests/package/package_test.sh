#!/usr/bin/env bash
# Installing the host and shipping an application:
#   package_test.sh BUILD_DIR HELLO_DEB ICON
# installs the built tree into a temporary prefix and moves it (the tree is
# relocatable), builds a tiny application against it through
# find_package(Wexlor) and through pkg-config, checks the hello example's
# .deb (desktop entry, metainfo, contents, Depends) and starts the unpacked
# package under Xvfb with no flags.
set -euo pipefail
build=$(realpath "$1") deb=$(realpath -m "$2") icon=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

step "install, then move the installed tree"
cmake --install "$build" --prefix "$tmp/first" >/dev/null
mv "$tmp/first" "$tmp/prefix"
prefix=$tmp/prefix
for f in bin/wexlor lib/wexlor/libwexlor-gtk.so include/wexlor/wexlor.h lib/pkgconfig/wexlor.pc \
  lib/cmake/Wexlor/WexlorConfig.cmake; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
[ ! -e "$prefix/bin/hello" ] || fail "a plain install holds the hello application"
# The moved host still finds its shell: without a display it gets as far as
# asking for one.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/wexlor" 2>&1) && fail "started without a display"
grep -q "cannot open a display" <<<"$out" || fail "installed host: $out"

step "a tiny application through find_package(Wexlor)"
cmake -S "$here/tiny" -B "$tmp/tiny" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DTINY_ICON="$icon" \
  >"$tmp/tiny.log" 2>&1 || { cat "$tmp/tiny.log"; fail "configuring the tiny application"; }
cmake --build "$tmp/tiny" >>"$tmp/tiny.log" 2>&1 || { cat "$tmp/tiny.log"; fail "building it"; }
cmake --install "$tmp/tiny" --component tiny --prefix "$tmp/tiny-root" >/dev/null
root=$tmp/tiny-root
[ "$(readlink "$root/bin/tiny")" = ../lib/tiny/tiny ] || fail "bin/tiny is not the link to the host"
for f in lib/tiny/tiny lib/tiny/libruntime.so lib/tiny/libwexlor-gtk.so lib/tiny/tiny.ini \
  share/applications/org.example.Tiny.desktop share/metainfo/org.example.Tiny.metainfo.xml \
  share/icons/hicolor/48x48/apps/org.example.Tiny.png share/icons/hicolor/256x256/apps/org.example.Tiny.png; do
  [ -e "$root/$f" ] || fail "the tiny application lacks $f"
done
grep -qx "MimeType=x-scheme-handler/tiny-app;" "$root/share/applications/org.example.Tiny.desktop" ||
  fail "the tiny desktop entry does not declare its scheme"

step "the same runtime through pkg-config"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags wexlor)
cc -shared -fPIC $flags "$here/tiny/tiny.c" -o "$tmp/libtiny.so" || fail "building through pkg-config"
dir=$(echo $flags)
[ "$(realpath -m "${dir#-I}")" = "$prefix/include" ] || fail "pkg-config gives $flags"

step "the hello package"
[ -f "$deb" ] || fail "no package $deb (build the hello_package target)"
dpkg-deb -x "$deb" "$tmp/root"
desktop=$tmp/root/usr/share/applications/org.example.Hello.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net --no-color "$tmp/root/usr/share/metainfo/org.example.Hello.metainfo.xml" \
  >"$tmp/appstream.log" 2>&1 || { cat "$tmp/appstream.log"; fail "appstreamcli validate"; }
grep -qx "Exec=hello %U" "$desktop" || fail "Exec is not 'hello %U'"
grep -qx "MimeType=x-scheme-handler/wexlor-hello;" "$desktop" || fail "no scheme in the desktop entry"
contents=$(dpkg-deb -c "$deb")
for f in ./usr/lib/hello/hello ./usr/lib/hello/libruntime.so ./usr/lib/hello/libwexlor-gtk.so \
  ./usr/lib/hello/hello.ini ./usr/lib/hello/pages/index.html \
  ./usr/share/applications/org.example.Hello.desktop ./usr/share/metainfo/org.example.Hello.metainfo.xml \
  ./usr/share/icons/hicolor/48x48/apps/org.example.Hello.png "./usr/bin/hello -> ../lib/hello/hello"; do
  grep -qF "$f" <<<"$contents" || fail "the package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for p in libwebkit2gtk-4.1-0 libgtk-3-0 libstdc++6; do
  grep -q "\b$p\b" <<<"$depends" || fail "Depends lacks $p: $depends"
done

step "the unpacked package starts with no flags; its window class is StartupWMClass"
wmclass=$(sed -n 's/^StartupWMClass=//p' "$desktop")
exec 3>"$tmp/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
display=:$(head -n1 "$tmp/display")
mkdir -p "$tmp/home"
had_flatpak_info=false; [ -e /.flatpak-info ] && had_flatpak_info=true
env -i PATH=/usr/bin:/bin HOME="$tmp/home" DISPLAY="$display" GDK_BACKEND=x11 NO_AT_BRIDGE=1 \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent XDG_RUNTIME_DIR="$tmp/home" \
  "$tmp/root/usr/bin/hello" >"$tmp/hello.log" 2>&1 &
app=$!
pids+=($app)
DISPLAY=$display timeout 30 xdotool search --sync --onlyvisible --class "^${wmclass//./\\.}\$" >/dev/null ||
  { cat "$tmp/hello.log"; fail "no window of class $wmclass"; }
# Every window of the application, the toolkit's hidden ones too.
for w in $(DISPLAY=$display xdotool search --classname "^${wmclass//./\\.}\$"); do
  class=$(DISPLAY=$display xprop -id "$w" WM_CLASS)
  [ "$class" = "WM_CLASS(STRING) = \"$wmclass\", \"$wmclass\"" ] || fail "window class: $class"
done
grep -q "Runtime loaded successfully from: $tmp/root/usr/lib/hello/libruntime.so" "$tmp/hello.log" ||
  { cat "$tmp/hello.log"; fail "the runtime did not come from the package"; }
kill -TERM "$app"
wait "$app" || fail "hello did not end cleanly: $(cat "$tmp/hello.log")"
# Without a reachable session bus the web sandbox must stay off: the engine
# would leave /.flatpak-info behind, and every GTK program would then
# believe it runs in a Flatpak.
$had_flatpak_info || [ ! -e /.flatpak-info ] || fail "the application left /.flatpak-info behind"
echo "package test passed"
