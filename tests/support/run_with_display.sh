#!/usr/bin/env bash
# Runs an interface test program on a headless X server of its own: starts Xvfb (which picks a
# free display number itself, so parallel tests never collide), points the program at it with
# GTK set up for tests (cairo renderer, no accessibility bus, no D-Bus session, settings in
# memory, caches and configuration in a temporary folder), and stops the server afterwards. The
# program's status is the script's. Listing the tests needs no display.
# Under LeakSanitizer the GTK suppressions beside this script apply.
set -u
case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/zorvel-display.XXXXXX")
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 200); do
  [ -s "$work/display" ] && break
  if ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  sleep 0.05
done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not report a display in time" >&2
  exit 1
fi

mkdir -p "$work/cache" "$work/config" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"
export DISPLAY=":$(head -n1 "$work/display")"
export GDK_BACKEND=x11 GSK_RENDERER=cairo GTK_A11Y=none NO_AT_BRIDGE=1
export GSETTINGS_BACKEND=memory GIO_USE_VFS=local G_SLICE=always-malloc
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus"
export XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export XDG_RUNTIME_DIR="$work/runtime"
unset WAYLAND_DISPLAY
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/gtk.lsan.supp:print_suppressions=0"

"$@"
exit $?
