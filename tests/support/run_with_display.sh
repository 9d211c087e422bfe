#!/usr/bin/env bash
# Runs an interface test program on a headless X server and a private session bus of its own:
# starts Xvfb (which picks a free display number itself, so parallel tests never collide), runs
# the program inside dbus-run-session with a bus that starts no services of the machine, points
# it at the display with GTK set up for tests (cairo renderer, no accessibility bus, settings in
# memory, only the DejaVu fonts, Europe/Berlin time, the C.UTF-8 locale, caches and configuration
# in a temporary folder), and stops the server afterwards. The program's status is the script's.
# Listing the tests needs no display.
#
# Without Xvfb or dbus-run-session the script fails: interface tests never pass by being skipped
# (the CI variable only makes the message say so). ZORVEL_TEST_ARTIFACTS, when set, is where
# tests leave their screenshots; otherwise they go to the temporary folder and are removed.
# Under LeakSanitizer the GTK suppressions beside this script apply.
set -u
case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac

here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb dbus-run-session; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "run_with_display.sh: $tool is missing, so interface tests cannot run${CI:+ (CI)}; see scripts/install-deps.sh" >&2
    exit 1
  fi
done

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

Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
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

mkdir -p "$work/cache" "$work/config" "$work/data" "$work/runtime" "$work/artifacts"
chmod 700 "$work/runtime"
export DISPLAY=":$(head -n1 "$work/display")"
export GDK_BACKEND=x11 GDK_SCALE=1 GSK_RENDERER=cairo GTK_A11Y=none NO_AT_BRIDGE=1
export GSETTINGS_BACKEND=memory GIO_USE_VFS=local GIO_USE_NETWORK_MONITOR=base G_SLICE=always-malloc
export FONTCONFIG_FILE="$here/interface/fonts.conf"
export TZ=Europe/Berlin LANG=C.UTF-8
unset LC_ALL LANGUAGE
export XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export XDG_RUNTIME_DIR="$work/runtime"
export ZORVEL_TEST_ARTIFACTS="${ZORVEL_TEST_ARTIFACTS:-$work/artifacts}"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/gtk.lsan.supp:print_suppressions=0"

# (dbus-daemon may warn "Failed to set fd limit" when not root: harmless.)
dbus-run-session --config-file="$here/interface/session-bus.conf" -- "$@"
exit $?
