#!/usr/bin/env bash
# Runs a program beside a journal daemon of its own: inside a private mount namespace, with fresh
# memory file systems over /run (and /var/log/journal when it exists), so the daemon's socket and
# journal files vanish with the namespace and the machine's own journal is never touched.
# Exits 77 (skipped) when no private namespace or no journal daemon can be had here.
set -u
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || [ ! -x /lib/systemd/systemd-journald ]; then
  echo "skipped: needs root, unshare and systemd-journald"
  exit 77
fi
exec unshare --mount --propagation private bash -c '
  mount -t tmpfs tmpfs /run || { echo "skipped: cannot mount in a private namespace"; exit 77; }
  mkdir -p /run/systemd/journal /run/log
  if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal || exit 77; fi
  /lib/systemd/systemd-journald >/dev/null 2>&1 &
  daemon=$!
  for _ in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.05; done
  if [ ! -S /run/systemd/journal/socket ]; then kill "$daemon" 2>/dev/null; echo "skipped: journald did not start"; exit 77; fi
  "$@"
  status=$?
  kill "$daemon"
  wait "$daemon" 2>/dev/null
  exit "$status"
' private-journal "$@"
