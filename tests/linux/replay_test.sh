#!/bin/sh
# The package's maintainer scripts replay udev's events for the devices the
# rules can match and for those below them, and for no other device: each
# script runs under umockdev's testbed of a reader, a stick, SxS and other
# PCI functions and the sxs driver's disk, with the real udevadm, whose
# replay is turned into a dry run that lists the devices it would replay.
# Usage: replay_test.sh SOURCE_DIR
set -eu
source=$1
[ -S /run/udev/control ] || { echo "skipped: udevd is not running, so the scripts do nothing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
udevadm=$(command -v udevadm)

# The fake udevadm: reloads nothing, and lists what a replay would reach.
mkdir "$work/bin"
cat >"$work/bin/udevadm" <<FAKE
#!/bin/sh
case "\$*" in
  control*) echo "reload" >>"$work/log" ;;
  *--dry-run*) exec "$udevadm" "\$@" ;;
  trigger*) "$udevadm" "\$@" --dry-run --verbose | sed 's#^/sys/devices/##' >>"$work/log" ;;
esac
FAKE
chmod +x "$work/bin/udevadm"

usb=pci0000:00/0000:00:14.0/usb1
device() {  # PATH SUBSYSTEM [DEVTYPE] [ATTRIBUTE=VALUE...]
  printf 'P: /devices/%s\nE: SUBSYSTEM=%s\n' "$1" "$2"
  [ -z "${3:-}" ] || printf 'E: DEVTYPE=%s\n' "$3"
  shift 3 2>/dev/null || shift $#
  for attribute; do printf 'A: %s\n' "$attribute"; done
  echo
}
{
  device $usb/1-1 usb usb_device idVendor=054c idProduct=02d8
  device $usb/1-1/1-1:1.0 usb usb_interface
  device $usb/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb block disk
  device $usb/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1 block partition
  device $usb/1-2 usb usb_device idVendor=0781
  device $usb/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0/block/sdc block disk
  device pci0000:00/0000:00:1c.0/0000:03:00.0 pci "" vendor=0x104d device=0x905c
  device pci0000:00/0000:00:1f.2 pci "" vendor=0x8086
  device pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda block disk
  device virtual/block/sxs block disk
  device virtual/block/sxs/sxs1 block partition
  device virtual/block/loop0 block disk
} >"$work/devices.umockdev"

expected="reload
$usb/1-1
$usb/1-1/1-1:1.0
$usb/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb
$usb/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1
pci0000:00/0000:00:1c.0/0000:03:00.0
virtual/block/sxs
virtual/block/sxs/sxs1"
status=0
for script in "postinst configure" "postrm remove"; do
  : >"$work/log"
  # shellcheck disable=SC2086
  PATH="$work/bin:$PATH" umockdev-run -d "$work/devices.umockdev" -- \
    sh "$source/debian/"$script
  replayed=$(sort "$work/log")
  if [ "$replayed" != "$(echo "$expected" | sort)" ]; then
    printf '%s replays:\n%s\nexpected:\n%s\n' "$script" "$replayed" "$expected"
    status=1
  fi
done
exit $status
