#!/usr/bin/env bash
# The packages under a real service manager: a minimal Debian 12 root (built
# with mmdebstrap, cached under /var/cache/vorn-test) booted with
# systemd-nspawn on a private network, where the administrator's steps are
# taken and checked:
#   - the first datagram starts the agent through vorn.socket and is answered;
#   - the status line and the journal name what is wrong: a missing
#     configuration, an untrusted certificate; and a working service;
#   - stop, start and restart, each followed by an answered refresh, and
#     vorn.socket never failed;
#   - reinstall, upgrade to a rebuilt higher version, remove + install (still
#     enabled and running), purge; "systemctl --failed" empty throughout.
#
#   systemd_test.sh BUILD_DIR VERSION
# Exit status: 0 pass, 1 fail, 77 skipped (not root, no systemd-nspawn or
# mmdebstrap, no network to the package archive, or a container that cannot
# boot here).
set -uo pipefail

build=$(cd "$1" && pwd)
version=$2
cache=${VORN_TEST_CACHE:-/var/cache/vorn-test}/nspawn
packaging=$(cd "$(dirname "$0")/.." && pwd)

skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root (booting a container needs root)"
for tool in systemd-nspawn mmdebstrap dpkg-deb cpack nsenter; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

work=$(mktemp -d /var/tmp/vorn-systemd-test.XXXXXX)
nspawn_pid=
cgroups=()
cleanup() {
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        kill -TERM "$nspawn_pid" 2>/dev/null # nspawn powers the container off
        for _ in $(seq 100); do
            kill -0 "$nspawn_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$nspawn_pid" 2>/dev/null
        wait "$nspawn_pid" 2>/dev/null
    fi
    for group in "${cgroups[@]}"; do
        rmdir "$group" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# --- the root, cached by its package list -------------------------------------------
# What the packages depend on (dpkg -i installs no dependencies), the TPM
# helper's libraries among them.
packages=systemd,systemd-sysv,dbus,libcurl4,libcjson1,libsqlite3-0,libblkid1,libmd0,ca-certificates,openssl,init-system-helpers,libtss2-esys-3.0.2-0,libtss2-mu0,libtss2-rc0,libtss2-tctildr0
key=$(printf 'bookworm minbase %s\n' "$packages" | sha256sum | cut -c1-16)
image=$cache/root-$key.tar
if [ ! -f "$image" ]; then
    mkdir -p "$cache"
    echo "building the container root (once): $image"
    rm -rf "$image.part"  # what an interrupted build left
    if ! timeout 900 mmdebstrap --quiet --variant=minbase --format=tar --include="$packages" bookworm \
        "$image.part" http://deb.debian.org/debian >"$work/mmdebstrap.log" 2>&1; then
        rm -rf "$image.part"
        tail -5 "$work/mmdebstrap.log"
        skip "mmdebstrap failed (no network to the package archive?)"
    fi
    mv "$image.part" "$image"
fi

# --- the packages: as built, and the same rebuilt with a higher version --------
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack failed"; exit 1; }
arch=$(dpkg --print-architecture)
deb=$work/pkg/vorn_${version}_${arch}.deb
cloud_deb=$work/pkg/vorn-cloud_${version}_${arch}.deb
[ -f "$deb" ] && [ -f "$cloud_deb" ] || { fail "packages missing: $(ls "$work/pkg")"; exit 1; }
upgrade_version=${version}.1
dpkg-deb -R "$deb" "$work/upgrade"
sed -i "s/^Version: .*/Version: $upgrade_version/" "$work/upgrade/DEBIAN/control"
upgrade_deb=$work/pkg/vorn_${upgrade_version}_${arch}.deb
dpkg-deb --root-owner-group -b "$work/upgrade" "$upgrade_deb" >/dev/null ||
    { fail "cannot rebuild the package as $upgrade_version"; exit 1; }

root=$work/root
mkdir -p "$root"
tar -C "$root" -xf "$image" || { fail "cannot unpack $image"; exit 1; }
cp "$deb" "$upgrade_deb" "$cloud_deb" "$root/root/"
# A container has no DMI of its own (and this host may have none either): the
# agent reads a fixture machine instead, whose serial number and UUID the
# service requires. Everything else is the container's own.
mkdir -p "$root/var/lib/vorn-test" "$root/etc/systemd/system/vorn.service.d"
cp -a "$packaging/../tests/data/machines/workstation" "$root/var/lib/vorn-test/machine"
printf '[Service]\nEnvironment=VORN_SYSROOT=/var/lib/vorn-test/machine\n' \
    >"$root/etc/systemd/system/vorn.service.d/test-machine.conf"
# No other console: keep the boot quiet and quick.
ln -sf /dev/null "$root/etc/systemd/system/console-getty.service"
ln -sf /dev/null "$root/etc/systemd/system/getty@.service"

# --- boot ------------------------------------------------------------------------
# Not under systemd here, nspawn is told not to register with machined nor to
# make a scope (--register=no --keep-unit); the container gets cgroups of its
# own, where systemd inside may create its tree.
(
    name=vorn-test-$BASHPID
    for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
        if [ -d "$hierarchy" ] && [ -w "$hierarchy" ] && [ -f "$hierarchy/cgroup.procs" ] &&
            mkdir "$hierarchy/$name" 2>/dev/null; then
            echo "$BASHPID" >"$hierarchy/$name/cgroup.procs" 2>/dev/null
            echo "$hierarchy/$name" >>"$work/cgroups"
        fi
    done
    exec systemd-nspawn --quiet -D "$root" -b --private-network --register=no --keep-unit \
        --machine="$name" >"$work/console.log" 2>&1 </dev/null
) &
nspawn_pid=$!
# Filled by the subshell before exec; read for the clean-up.
sleep 0.2
[ -f "$work/cgroups" ] && mapfile -t cgroups <"$work/cgroups"

leader=
for _ in $(seq 300); do
    leader=$(pgrep -P "$nspawn_pid" | head -1)
    [ -n "$leader" ] && [ "$(cat /proc/"$leader"/comm 2>/dev/null)" = systemd ] && break
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$leader" ] || [ "$(cat /proc/"$leader"/comm 2>/dev/null)" != systemd ]; then
    tail -20 "$work/console.log"
    skip "the container did not boot systemd here"
fi

# A command inside the container, as root there.
inside() {
    nsenter --target "$leader" --mount --uts --ipc --net --pid --cgroup -- \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Until systemd's own bus is up, systemctl cannot even ask.
for _ in $(seq 90); do
    state=$(inside timeout 90 systemctl is-system-running --wait 2>&1)
    [[ "$state" == *"Failed to connect to bus"* ]] || break
    sleep 1
done
case "$state" in
running | degraded) ;;
*)
    tail -20 "$work/console.log"
    skip "systemd inside the container did not finish booting ($state)"
    ;;
esac
if [ "$state" = degraded ]; then
    echo "note: the container booted degraded: $(inside systemctl --failed --no-legend --plain)"
fi

# The checks ---------------------------------------------------------------------
no_failed_units() {
    local failed
    failed=$(inside systemctl --failed --no-legend --plain 2>&1)
    [ -z "$failed" ] || fail "$1: systemctl --failed lists: $failed"
}
status_line() {
    inside systemctl show -p StatusText --value vorn.service
}
# vornctl refresh, which must be answered with $2 (an outcome name).
refresh_answers() {
    local out
    out=$(inside timeout 40 vornctl refresh --timeout 30 2>"$work/vornctl.err")
    [ "$out" = "$2" ] ||
        fail "$1: vornctl refresh printed '$out' ($(cat "$work/vornctl.err")), expected '$2'"
}
socket_healthy() {
    local result
    result=$(inside systemctl show -p Result --value vorn.socket)
    [ "$result" = success ] || fail "$1: vorn.socket Result=$result"
    inside systemctl --quiet is-active vorn.socket || fail "$1: vorn.socket not active"
}
write_bootstrap() { # URL
    printf '{"id": {"business_id": "b-1", "installer_key": "k-1", "url": "%s"}}\n' "$1" |
        inside tee /etc/vorn/bs.json >/dev/null
}

inside dpkg -i /root/$(basename "$cloud_deb") /root/$(basename "$deb") >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "install failed"; }
# For the record: the sandbox as this systemd scores it.
echo "note: $(inside systemd-analyze security vorn.service 2>/dev/null | tail -1)"
inside systemctl --quiet is-enabled vorn.socket || fail "install: vorn.socket not enabled"
inside systemctl --quiet is-enabled vorn.service || fail "install: vorn.service not enabled"
inside systemctl --quiet is-active vorn.service && fail "install: agent started without business data"

# Activation by the first datagram, with the configuration still empty.
refresh_answers "activation" comm-error
status=$(status_line)
[ "$status" = "no identity: configuration missing: /etc/vorn/bs.json has an empty business_id" ] ||
    fail "missing configuration: status '$status'"
inside journalctl -u vorn.service -o cat | grep -qx "$status" ||
    fail "missing configuration: the journal has no line '$status'"

# The reference service, once with a certificate nobody trusts and once with
# one from a CA the machine trusts.
inside vorn-cloud --generate-cert /root/certs >/dev/null || fail "vorn-cloud --generate-cert failed"
inside cp /root/certs/ca.pem /usr/local/share/ca-certificates/vorn-test.crt
inside update-ca-certificates >/dev/null 2>&1 || fail "update-ca-certificates failed"
inside systemd-run --quiet --unit=cloud-untrusted vorn-cloud --no-stdin --port 8444 \
    --cert /root/certs/untrusted.pem --key /root/certs/untrusted.key
inside systemd-run --quiet --unit=cloud vorn-cloud --no-stdin --port 8443 \
    --cert /root/certs/server.pem --key /root/certs/server.key
sleep 1

write_bootstrap https://127.0.0.1:8444/v1/identity
refresh_answers "untrusted certificate" comm-error
status=$(status_line)
[[ "$status" == "no identity: certificate of 127.0.0.1 not trusted: "* ]] ||
    fail "untrusted certificate: status '$status'"
inside journalctl -u vorn.service -o cat | grep -qxF "$status" ||
    fail "untrusted certificate: the journal has no line '$status'"

write_bootstrap https://127.0.0.1:8443/v1/identity
refresh_answers "working service" success
status=$(status_line)
if [ "$status" != "identity held" ]; then
    fail "working service: status '$status'"
    inside grep -E 'S: (error|warning)' /var/lib/vorn/vornagent.log | tail -15
fi
inside journalctl -u vorn.service -o cat | grep -qx "identity held" ||
    fail "working service: the journal has no line 'identity held'"

# Stop, start, restart: answered every time, on the one socket systemd keeps.
for round in 1 2 3; do
    inside systemctl stop vorn.service
    socket_healthy "stop $round"
    refresh_answers "after stop $round (socket activation)" success
    inside systemctl restart vorn.service
    refresh_answers "after restart $round" success
    inside systemctl start vorn.service
    refresh_answers "after start $round" success
done
socket_healthy "stop/start/restart"
no_failed_units "stop/start/restart"

# Reinstall, then upgrade: the agent is restarted with the package's binary.
pid_before=$(inside systemctl show -p MainPID --value vorn.service)
inside dpkg -i /root/$(basename "$deb") >"$work/reinstall.log" 2>&1 ||
    { cat "$work/reinstall.log"; fail "reinstall failed"; }
refresh_answers "reinstall" success
inside dpkg -i /root/$(basename "$upgrade_deb") >"$work/upgrade.log" 2>&1 ||
    { cat "$work/upgrade.log"; fail "upgrade failed"; }
pid_after=$(inside systemctl show -p MainPID --value vorn.service)
[ "$pid_after" != 0 ] && [ "$pid_after" != "$pid_before" ] ||
    fail "upgrade: the agent was not restarted (MainPID $pid_before -> $pid_after)"
refresh_answers "upgrade" success
socket_healthy "reinstall/upgrade"

# Remove + install: enabled and running again, the identity kept.
inside dpkg -r vorn >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "remove failed"; }
no_failed_units "remove"
inside dpkg -i /root/$(basename "$upgrade_deb") >"$work/install2.log" 2>&1 ||
    { cat "$work/install2.log"; fail "install after remove failed"; }
inside systemctl --quiet is-enabled vorn.service || fail "remove + install: vorn.service not enabled"
inside systemctl --quiet is-active vorn.service || fail "remove + install: vorn.service not running"
refresh_answers "remove + install" success
status=$(status_line)
[ "$status" = "identity held" ] || fail "remove + install: status '$status'"

# Purge: nothing left failed or not-found.
inside dpkg -P vorn >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge failed"; }
no_failed_units "purge"
inside test -e /var/lib/vorn && fail "purge: /var/lib/vorn still there"
state=$(inside systemctl is-system-running 2>&1)
[ "$state" = running ] || fail "purge: the system is '$state'"

if [ "$failures" -ne 0 ]; then
    echo "--- journal of vorn.service"
    inside journalctl -u vorn.service -u vorn.socket --no-pager -o short-precise | tail -40
    echo "$failures check(s) failed"
    exit 1
fi
echo "systemd: all checks passed"
