// Where a disk sits in the device tree, as sysfs shows it, and what that says
// about the disk: a place that survives reboots, and the USB device whose
// serial a USB disk without one of its own carries.
#pragma once

#include <string>
#include <vector>

namespace vorn {

// The sort key of a disk's device-tree path (the target of sys/block/<name>,
// "../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda"):
// what udev's by-path names are made of, compared component by component as
// plain text. PCI addresses are kept as they are (fixed-width hex); the bus
// addresses below them become fixed-width numbers: SCSI channel:target:lun,
// the ATA port, the USB port path and interface, the NVMe namespace. Numbers
// the kernel hands out in probe order (SCSI hosts, virtio and NVMe
// controller indexes, USB bus numbers) and the kernel's own names are left
// out, so a parallel scan that names the disks differently gives the same keys.
std::vector<std::string> DiskTopologyKey(const std::string& deviceTreePath);

// True when disk A (its DiskTopologyKey and kernel name) comes before disk B:
// by topology, the kernel name (in its natural order) breaking ties.
bool DiskTopologyLess(const std::vector<std::string>& keyA, const std::string& nameA,
                      const std::vector<std::string>& keyB, const std::string& nameB);

// The directory, relative to the system root, of the USB device a disk
// belongs to: the nearest ancestor of its device-tree path (given relative
// to sys/block, as the link reads) that holds an "idVendor" file, checked
// with 'hasVendor'. Empty when the disk is not on USB.
template <typename HasVendor>
std::string UsbDeviceDirectory(const std::string& deviceTreePath, HasVendor hasVendor);

// The components of a device-tree path relative to sys/block, resolved to a
// path relative to the system root ("../devices/x" gives "sys/devices/x").
// Empty when the path leaves sys/.
std::string SysBlockTargetPath(const std::string& deviceTreePath);

template <typename HasVendor>
std::string UsbDeviceDirectory(const std::string& deviceTreePath, HasVendor hasVendor) {
    if (deviceTreePath.find("/usb") == std::string::npos) {
        return {};
    }
    std::string directory = SysBlockTargetPath(deviceTreePath);
    // Up from the disk, never above sys/devices: a USB disk's device is a few
    // levels above it, and its root hub above that.
    while (directory.size() > sizeof("sys/devices") - 1) {
        const size_t slash = directory.find_last_of('/');
        if (slash == std::string::npos) {
            break;
        }
        directory.erase(slash);
        if (directory.find("/usb") == std::string::npos) {
            break;
        }
        if (hasVendor(directory)) {
            return directory;
        }
    }
    return {};
}

}  // namespace vorn
