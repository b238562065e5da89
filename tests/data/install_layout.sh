#!/usr/bin/env bash
# Installs the build into a per-user prefix and checks that the session's systemd and D-Bus would
# find the units and the activation file, and that both start the installed binary.
# Usage: install_layout.sh <build dir>
set -euo pipefail
build="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

exec_of() { sed -n "s/^$1=//p" "$2"; }
# The activation file runs the binary itself where there is no user manager.
starts() { [[ "$(exec_of Exec "$1")" == *"else $2; fi; exit 1'" ]]; }

# Per-user: cmake --install --prefix ~/.local, as the README says.
home="$scratch/home"
mkdir -p "$home"
cmake --install "$build" --prefix "$home/.local" > "$scratch/user.log"
unit="$home/.local/share/systemd/user/quillnet-daemon.service"
activation="$home/.local/share/dbus-1/services/com.tarvo.quillnetveldo.service"
[ -f "$unit" ] || fail "no user unit at $unit"
[ -f "$activation" ] || fail "no activation file at $activation"
[ "$(exec_of ExecStart "$unit")" = "$home/.local/bin/quillnet-daemon" ] || fail "unit starts $(exec_of ExecStart "$unit")"
starts "$activation" "$home/.local/bin/quillnet-daemon" || fail "activation starts $(exec_of Exec "$activation")"
[ -x "$home/.local/bin/quillnet-daemon" ] || fail "no installed binary"
[ -x "$home/.local/bin/quillnetctl" ] || fail "no quillnetctl beside the daemon"

if command -v systemd-analyze > /dev/null; then
    runtime="$scratch/runtime"
    mkdir -m 700 "$runtime"
    env -i HOME="$home" PATH="$PATH" XDG_RUNTIME_DIR="$runtime" systemd-analyze --user unit-paths \
        | grep -qx "$(dirname "$unit")" || fail "systemd does not search $(dirname "$unit")"
    # The man pages the units name come with the Debian package (tests/package/check verifies them there).
    XDG_RUNTIME_DIR="$runtime" systemd-analyze --user --man=no verify "$unit" "${unit%.service}.path" \
        || fail "systemd-analyze verify rejects the units"
fi

# The session bus of that user lists the name as activatable.
# dbus-daemon finds the home directory through the password database, not $HOME.
{ read -r address; read -r bus_pid; } < <(env -i HOME="$home" XDG_DATA_HOME="$home/.local/share" PATH="$PATH" \
    dbus-daemon --session --fork --print-address=1 --print-pid=1)
names="$(DBUS_SESSION_BUS_ADDRESS="$address" gdbus call --session --dest org.freedesktop.DBus \
    --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.ListActivatableNames)" || true
kill "$bus_pid"
[[ "$names" == *"'com.tarvo.quillnetveldo'"* ]] || fail "the session bus cannot activate com.tarvo.quillnetveldo: $names"

# The system prefix (/usr) is the Debian package's: tests/package/check installs it for real.
echo "install layout ok"
