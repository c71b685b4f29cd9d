#!/usr/bin/env bash
# Boots small Linux guests under QEMU with hardware chosen on its command line
# (firmware serial and UUID, disks with serials on SATA, NVMe, virtio, SCSI and
# USB, CD-ROMs, NICs, a root file system) and checks that "vornctl attributes"
# inside each guest reports what QEMU was told.
#   qemu_guest_test.sh VORNCTL
# Exits 77 (skipped) when it cannot run: not root, no QEMU, busybox, cpio or
# mkfs.ext4, or no Debian kernel package in the cache and none to download.
# The kernel package is cached under $VORN_TEST_CACHE (default /var/cache/vorn-test).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
vornctl=${1:?usage: qemu_guest_test.sh VORNCTL}
cache=${VORN_TEST_CACHE:-/var/cache/vorn-test}/kernel
boot_timeout=${VORN_GUEST_TIMEOUT:-150}

skip() {
  echo "SKIP: $*"
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "needs root (the kernel package is unpacked and cached as root)"
for tool in qemu-system-x86_64 cpio mkfs.ext4 jq dpkg-deb; do
  command -v "$tool" >/dev/null || skip "no $tool"
done
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && file -L "$busybox" | grep -q 'statically linked' ||
  skip "no statically linked busybox (Debian busybox-static)"
[ -x "$vornctl" ] || skip "no vornctl at $vornctl"

# --- The kernel: Debian's, downloaded once ---------------------------------
mkdir -p "$cache"
deb=$(ls -t "$cache"/linux-image-*-amd64_*.deb 2>/dev/null | head -1 || true)
if [ -z "$deb" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$package" ] || skip "the package archive does not name Debian's kernel (apt-get update?)"
  (cd "$cache" && timeout 300 apt-get download "$package" >/dev/null 2>&1) ||
    skip "cannot download $package from the package archive"
  deb=$(ls -t "$cache"/linux-image-*-amd64_*.deb | head -1)
fi
unpacked=${deb%.deb}
if [ ! -e "$unpacked/.complete" ]; then
  rm -rf "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  touch "$unpacked/.complete"
fi
kernel=$(ls "$unpacked"/boot/vmlinuz-* | head -1)
kver=${kernel##*/vmlinuz-}
moddir=$unpacked/lib/modules/$kver

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-guest.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  [ -n "${VORN_GUEST_KEEP:-}" ] && echo "guest files kept in $work" || rm -rf "$work"
}
trap cleanup EXIT

# --- The initramfs: busybox and the drivers, loaded in dependency order ----
initramfs=$work/initramfs
mkdir -p "$initramfs"/{bin,proc,sys,dev,newroot,modules}
applets() {  # the busybox applets as links beside it
  cp "$busybox" "$1/bin/busybox"
  for applet in $("$busybox" --list); do
    [ -e "$1/bin/$applet" ] || ln -s busybox "$1/bin/$applet"
  done
}
applets "$initramfs"
cp "$here/init" "$initramfs/init"
declare -A module_file=() loaded=()
while IFS= read -r path; do
  name=${path##*/}
  name=${name%.ko}
  module_file[${name//-/_}]=$path
done < <(find "$moddir/kernel" -name '*.ko')
order=()
add_module() {
  local name=${1//-/_} dep
  [ -n "${loaded[$name]:-}" ] && return
  loaded[$name]=1
  local path=${module_file[$name]:-}
  [ -n "$path" ] || return 0  # built in
  for dep in $(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | head -1 | tr , ' '); do
    add_module "$dep"
  done
  order+=("$name")
  cp "$path" "$initramfs/modules/$name.ko"
}
for m in virtio_pci virtio_blk virtio_scsi virtio_net nvme ahci ata_piix sd_mod sr_mod \
  xhci_pci usb_storage uas e1000 e1000e ip_gre crc32c_generic ext4; do
  add_module "$m"
done
for name in "${order[@]}"; do
  case $name in
    usb_storage) echo "$name delay_use=0" ;;
    *) echo "$name" ;;
  esac
done >"$initramfs/modules/order"
(cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz")

# --- The root file system: vornctl, its libraries, an os-release -----------
rootfs=$work/rootfs
mkdir -p "$rootfs"/{bin,proc,sys,dev,etc,tmp}
applets "$rootfs"
cp "$here/init" "$rootfs/init"
cp "$vornctl" "$rootfs/bin/vornctl"
# libblkid is loaded when needed, not linked.
blkid=$(ldconfig -p | awk '/libblkid.so.1 .*x86-64/ {print $NF; exit}')
for lib in $(ldd "$vornctl" | grep -o '/[^ ]*') $blkid; do
  mkdir -p "$rootfs$(dirname "$lib")"
  cp -L "$lib" "$rootfs$lib"
done
cat >"$rootfs/etc/os-release" <<'OS'
PRETTY_NAME="Vorn Guest 12"
NAME="Vorn Guest"
VERSION_ID="12"
ID=vornguest
OS
root_uuid=0f3c2a55-6d1e-4b7a-9c2d-5e8f1a2b3c4d
mkfs.ext4 -q -F -O ^has_journal -U "$root_uuid" -d "$rootfs" "$work/root.img" 96M

b64() { printf '%s' "$1" | base64 -w0; }

# --- The machine classes ---------------------------------------------------
# Each fills: args (QEMU's), disks (drives to wait for), reorder (SCSI targets
# to rename), serial, uuid, product, macs (expected adapters, in any order),
# expected_disks (the "disk_list" JSON, in order) and rows (further checks,
# each "what#jq filter#expected result").
common_args() {
  args=(-machine q35 -accel tcg -cpu qemu64 -m 384 -smp 1 -nodefaults -display none
    -no-reboot -kernel "$kernel" -initrd "$work/initramfs.gz"
    -serial "file:$work/$1.console" -serial "file:$work/$1.out"
    -smbios "type=1,manufacturer=Dell Inc.,product=$product,serial=$serial,uuid=$uuid"
    -smbios "type=2,manufacturer=Dell Inc.,product=0H28RR,serial=.BOARD$1."
    -smbios "type=3,manufacturer=Dell Inc.,serial=CHASSIS$1"
    -drive "if=none,id=root,format=raw,readonly=on,file=$work/root.img"
    -device "virtio-blk-pci,drive=root,serial=ROOT-$1,addr=3")
  expected_disks="[{\"serial_number\":\"$(b64 "ROOT-$1")\",\"internal\":true}"
}
disk() {  # disk ID SERIAL INTERNAL: a blank drive and its expected entry
  args+=(-blockdev "driver=null-co,node-name=$1,size=67108864,read-zeroes=on")
  [ -n "$2" ] && expected_disks+=",{\"serial_number\":\"$(b64 "$2")\",\"internal\":$3}"
  return 0
}

# A rack server: SATA, NVMe with two namespaces, 28 disks on one SCSI
# controller that the guest names again in two other orders, two NICs,
# ip_gre's fallback devices.
class_server() {
  product="PowerEdge R740" serial=7XK2M93 uuid=4c4c4544-0058-4b10-8032-b7c04f4d3933
  common_args server
  # The controller's serial, blank-padded to its 20 bytes as the kernel shows it.
  disk nvme1 "NVME0SERIAL         " true
  disk nvme2 "NVME0SERIAL         " true
  args+=(-device nvme,id=nvme0,serial=NVME0SERIAL,addr=4
    -device nvme-ns,bus=nvme0,drive=nvme1,nsid=1 -device nvme-ns,bus=nvme0,drive=nvme2,nsid=2
    -device virtio-scsi-pci,id=scsi0,addr=5)
  for t in $(seq 0 27); do
    disk "lun$t" "SCSI$(printf %02d "$t")SERIAL" true
    args+=(-device "scsi-hd,bus=scsi0.0,channel=0,scsi-id=$t,lun=0,drive=lun$t,serial=SCSI$(printf %02d "$t")SERIAL")
  done
  disk sata0 SATA0SERIAL true
  args+=(-device ide-hd,bus=ide.0,drive=sata0,serial=SATA0SERIAL
    -netdev user,id=n0 -device e1000,netdev=n0,mac=52:54:00:12:34:01,addr=8
    -netdev user,id=n1 -device virtio-net-pci,netdev=n1,mac=52:54:00:12:34:02,addr=9)
  macs='["52-54-00-12-34-01","52-54-00-12-34-02"]'
  disks=32 reorder=28
  nvme=$(b64 "NVME0SERIAL         ")
  rows=("two namespaces of one NVMe controller are two disks#[.hardware.disk_list[] | select(.serial_number == \"$nvme\")] | length#2")
}

# A workstation with USB sticks (one with a serial, one without), a UAS disk,
# a SCSI CD-ROM whose model reads "Virtual CD", and ip_gre loaded.
class_desk() {
  product="PowerEdge R740" serial=DESK0001 uuid=9a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9
  common_args desk
  disk stick1 USBSTICK01 false
  # QEMU gives a USB device without serial= one made of its place (bus, host
  # controller, port); the disk takes that, never its root hub's "0000:00:04.0".
  disk stick2 "1-0000:00:04.0-2" false
  disk uas1 UAS0SERIAL false
  args+=(-device qemu-xhci,id=xhci,addr=4
    -device usb-storage,bus=xhci.0,port=1,drive=stick1,serial=USBSTICK01
    -device usb-storage,bus=xhci.0,port=2,drive=stick2
    -device usb-uas,bus=xhci.0,port=3,id=uas
    -device scsi-hd,bus=uas.0,scsi-id=0,lun=0,drive=uas1,serial=UAS0SERIAL
    -device virtio-scsi-pci,id=scsi1,addr=5
    -drive if=none,id=cd0,media=cdrom
    -device "scsi-cd,bus=scsi1.0,scsi-id=0,lun=0,drive=cd0,serial=CD0SERIAL,product=Virtual CD"
    -netdev user,id=n0 -device e1000,netdev=n0,mac=52:54:00:ab:cd:01,addr=8)
  macs='["52-54-00-ab-cd-01"]'
  disks=5 reorder=
  rows=("the usb-storage stick has its USB device's serial#[.hardware.disk_list[].serial_number] | index(\"$(b64 USBSTICK01)\") != null#true"
    "the CD-ROM is not a disk#[.hardware.disk_list[].serial_number] | index(\"$(b64 CD0SERIAL)\")#null")
}

classes=(${VORN_GUEST_CLASSES:-server desk})
declare -A expected_of=() macs_of=() serial_of=() uuid_of=() reorder_of=() rows_of=()
start=$(date +%s)
for class in "${classes[@]}"; do
  "class_$class"
  expected_of[$class]="$expected_disks]"
  macs_of[$class]=$macs serial_of[$class]=$serial uuid_of[$class]=$uuid
  reorder_of[$class]=$reorder
  rows_of[$class]=$(printf '%s\n' "${rows[@]}")
  : >"$work/$class.out"
  timeout "$boot_timeout" qemu-system-x86_64 "${args[@]}" -append \
    "console=ttyS0 quiet panic=-1 vorn.root=ROOT-$class vorn.disks=$disks${reorder:+ vorn.reorder=$reorder}" \
    >"$work/$class.qemu" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!classes[@]}"; do
  wait "${pids[$i]}" || { echo "FAIL ${classes[$i]}: QEMU ended with $? (timeout ${boot_timeout}s?)"; status=1; }
done
pids=()
echo "guests booted and collected in $(($(date +%s) - start)) s"

failures=0
check() {  # check CLASS WHAT EXPECTED ACTUAL
  if [ "$3" = "$4" ]; then
    echo "ok   $1: $2"
  else
    echo "FAIL $1: $2"
    echo "       expected $3"
    echo "       actual   $4"
    failures=$((failures + 1))
  fi
}
for class in "${classes[@]}"; do
  out=$work/$class.out
  if grep -q VORN-GUEST-ERROR "$out" || ! grep -q 'VORN-END boot' "$out"; then
    echo "FAIL $class: the guest did not collect"
    grep VORN-GUEST-ERROR "$out" || true
    tail -n 20 "$work/$class.console" | tr -d '\r'
    failures=$((failures + 1))
    continue
  fi
  runs=(boot)
  [ -n "${reorder_of[$class]}" ] && runs+=(reversed interleaved)
  for run in "${runs[@]}"; do
    json=$(sed -n "/^VORN-BEGIN $run/,/^VORN-END $run/p" "$out" | tr -d '\r' | sed '1d;$d')
    names=$(sed -n "/^VORN-END $run/{n;p}" "$out" | tr -d '\r')
    echo "     $class ($run): kernel names $names"
    hw() { jq -c "$1" <<<"$json"; }
    if [ "$run" = boot ]; then
      check "$class" "serial_number" "\"$(b64 "${serial_of[$class]}")\"" "$(hw .hardware.serial_number)"
      check "$class" "uuid" "\"${uuid_of[$class]^^}\"" "$(hw .hardware.uuid)"
      check "$class" "partition_id (the root file system's UUID)" "\"$root_uuid\"" "$(hw .os.partition_id)"
      check "$class" "is_virtual" "false" "$(hw .misc.is_virtual)"
      check "$class" "adapters (no all-zero address)" "$(jq -c sort <<<"${macs_of[$class]}")" \
        "$(hw '[.os.adapters[]?.mac] | sort')"
      while IFS="#" read -r what filter want; do
        if [ -n "$what" ]; then check "$class" "$what" "$want" "$(hw "$filter")"; fi
      done <<<"${rows_of[$class]}"
      boot_disks=$(hw .hardware.disk_list)
    else
      check "$class" "disk_list unchanged when the disks are renamed ($run)" "$boot_disks" \
        "$(hw .hardware.disk_list)"
    fi
    check "$class" "disk_list ($run)" "$(jq -c . <<<"${expected_of[$class]}")" \
      "$(hw '.hardware.disk_list')"
  done
done
echo "$failures failed checks in ${#classes[@]} guests ($(($(date +%s) - start)) s)"
[ "$failures" -eq 0 ] && [ "$status" -eq 0 ]
