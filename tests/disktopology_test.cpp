// The disk listing as real kernels lay out sysfs: the order by place in the
// device tree, USB disks and their device's serial, optical drives, and one
// entry per world-wide id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "agent/linux/disktopology.h"
#include "agent/linux/wmiinterface.h"
#include "tests/attribute_test_util.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

// Disks named in the opposite order of their places, as a parallel scan may
// name them: the topology order is the place's, whatever the names.
TEST(DiskTopology, OrderFollowsThePlaceNotTheName) {
    const struct {
        const char* m_szName;
        const char* m_szPath;
    } disks[] = {
        {"sdc",
         "../devices/pci0000:00/0000:00:05.0/virtio2/host0/target0:0:10:0/0:0:10:0/block/sdc"},
        {"sda",
         "../devices/pci0000:00/0000:00:05.0/virtio2/host0/target0:0:27:0/0:0:27:0/block/sda"},
        {"sdb", "../devices/pci0000:00/0000:00:05.0/virtio2/host0/target0:0:9:0/0:0:9:0/block/sdb"},
        {"nvme1n2", "../devices/pci0000:00/0000:00:04.0/nvme/nvme1/nvme1n2"},
        {"nvme1n1", "../devices/pci0000:00/0000:00:04.0/nvme/nvme1/nvme1n1"},
        {"vda", "../devices/pci0000:00/0000:00:1f.0/virtio0/block/vda"},
        {"sdd", "../devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sdd"},
        {"sde", "../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sde"},
        {"sdf",
         "../devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1.10/2-1.10:1.0/host7/"
         "target7:0:0/7:0:0:0/block/sdf"},
        {"sdg",
         "../devices/pci0000:00/0000:00:1d.0/usb3/3-1/3-1.2/3-1.2:1.0/host8/"
         "target8:0:0/8:0:0:0/block/sdg"},
        {"vdb", "../devices/pci0000:00/0000:00:1f.0/virtio1/block/vdb"},  // a tie: by name
    };
    std::vector<std::pair<std::vector<std::string>, std::string>> keyed;
    for (const auto& disk : disks) {
        keyed.emplace_back(DiskTopologyKey(disk.m_szPath), disk.m_szName);
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return DiskTopologyLess(a.first, a.second, b.first, b.second);
    });
    std::vector<std::string> order;
    order.reserve(keyed.size());
    for (const auto& entry : keyed) {
        order.push_back(entry.second);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"nvme1n1", "nvme1n2", "sdb", "sdc", "sda", "sdg",
                                               "sdf", "vda", "vdb", "sde", "sdd"}));
    // What the kernel numbers in probe order does not count.
    EXPECT_EQ(DiskTopologyKey("../devices/pci0000:00/0000:00:05.0/virtio2/host0/target0:0:9:0/"
                              "0:0:9:0/block/sdb"),
              DiskTopologyKey("../devices/pci0000:00/0000:00:05.0/virtio7/host5/target5:0:9:0/"
                              "5:0:9:0/block/sdx"));
}

TEST(DiskTopology, UsbDeviceIsTheNearestAncestorWithAVendor) {
    const std::string stick =
        "../devices/pci0000:00/0000:00:04.0/usb1/1-2/1-2.3/1-2.3:1.0/host6/target6:0:0/6:0:0:0/"
        "block/sdb";
    const std::vector<std::string> vendors = {"sys/devices/pci0000:00/0000:00:04.0/usb1",
                                              "sys/devices/pci0000:00/0000:00:04.0/usb1/1-2",
                                              "sys/devices/pci0000:00/0000:00:04.0/usb1/1-2/1-2.3"};
    auto hasVendor = [&](const std::string& directory) {
        return std::find(vendors.begin(), vendors.end(), directory) != vendors.end();
    };
    EXPECT_EQ(UsbDeviceDirectory(stick, hasVendor), vendors[2]);
    EXPECT_EQ(UsbDeviceDirectory("../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/"
                                 "0:0:0:0/block/sda",
                                 hasVendor),
              "");
    EXPECT_EQ(SysBlockTargetPath("../../../../etc/passwd"), "");
}

// A small machine laid out as a 6.1 kernel shows it under QEMU.
class DiskListing : public ::testing::Test {
protected:
    void Disk(const std::string& name, const std::string& device, const std::string& scsi = "") {
        const std::string path = device + (scsi.empty() ? "" : "/" + scsi) + "/block/" + name;
        ASSERT_EQ(
            system(("mkdir -p " + m_root.file("sys/block") + " " + m_root.file(path)).c_str()), 0);
        ASSERT_EQ(
            symlink(("../" + path.substr(4)).c_str(), m_root.file("sys/block/" + name).c_str()), 0);
        if (!scsi.empty()) {
            ASSERT_EQ(symlink("../..", m_root.file(path + "/device").c_str()), 0);
        }
        WriteFile(m_root.file(path + "/removable"), "0\n");
    }
    void Set(const std::string& file, const std::string& content) {
        const std::string directory = m_root.file(file.substr(0, file.find_last_of('/')));
        ASSERT_EQ(system(("mkdir -p '" + directory + "'").c_str()), 0);
        WriteFile(m_root.file(file), content);
    }
    std::vector<std::wstring> Serials() {
        WMIInterface wmi(m_root.path(), std::make_shared<FakeHostNames>("h", ""));
        std::list<std::wstring> names;
        std::list<WMIRow> rows;
        EXPECT_EQ(wmi.RunWMIQuery(L"SELECT SerialNumber FROM Win32_DiskDrive", names, rows),
                  VORN_OK);
        std::vector<std::wstring> serials;
        for (const WMIRow& row : rows) {
            serials.push_back(row.front().m_eType == eWMIValueNone ? L"(none)"
                                                                   : row.front().m_strValue);
        }
        return serials;
    }
    TempDir m_root;
};

const char kUsb[] = "sys/devices/pci0000:00/0000:00:04.0/usb1";
const char kScsi[] = "sys/devices/pci0000:00/0000:00:05.0/virtio1/host0";

TEST_F(DiskListing, UsbDisksTakeTheirDevicesSerialButNeverAHubs) {
    const std::string root = kUsb;
    Set(root + "/idVendor", "1d6b\n");
    Set(root + "/serial", "0000:00:04.0\n");  // a root hub's serial: its controller's address
    Set(root + "/bDeviceClass", "09\n");
    for (const char* port : {"1-1", "1-2", "1-3"}) {
        Set(root + "/" + port + "/idVendor", "46f4\n");
        Set(root + "/" + port + "/bDeviceClass", "00\n");
    }
    Set(root + "/1-1/serial", "USBSTICK01\n");
    Set(root + "/1-3/serial", "    \n");  // blanks: no serial
    Disk("sda", root + "/1-1/1-1:1.0/host6/target6:0:0", "6:0:0:0");
    Disk("sdb", root + "/1-2/1-2:1.0/host7/target7:0:0", "7:0:0:0");
    Disk("sdc", root + "/1-3/1-3:1.0/host8/target8:0:0", "8:0:0:0");
    EXPECT_EQ(Serials(), (std::vector<std::wstring>{L"USBSTICK01", L"", L""}));
}

// The CD-ROM (type 5) is no disk even when named first and given a serial;
// two namespaces of one controller are two disks; two paths to one LUN one;
// a blank serial is no serial.
TEST_F(DiskListing, OpticalDrivesPathsAndNamespaces) {
    const std::string scsi = kScsi;
    Disk("sr0", scsi + "/target0:0:0", "0:0:0:0");
    Set(scsi + "/target0:0:0/0:0:0:0/type", "5\n");
    Set(scsi + "/target0:0:0/0:0:0:0/vpd_pg80", std::string("\0\x80\0\x04"
                                                            "CD01",
                                                            8));
    Disk("sdb", scsi + "/target0:0:1", "0:0:1:0");
    Disk("sda", scsi + "/target0:0:2", "0:0:2:0");
    for (const char* target : {"target0:0:1/0:0:1:0", "target0:0:2/0:0:2:0"}) {
        Set(scsi + "/" + target + "/type", "0\n");
        Set(scsi + "/" + target + "/vpd_pg80", std::string("\0\x80\0\x04"
                                                           "LUN7",
                                                           8));
        Set(scsi + "/" + target + "/wwid", "naa.600c0ff0001\n");
    }
    const std::string nvme = "sys/devices/pci0000:00/0000:00:03.0/nvme/nvme0";
    for (const char* ns : {"nvme0n1", "nvme0n2"}) {
        ASSERT_EQ(system(("mkdir -p " + m_root.file(nvme + "/" + ns)).c_str()), 0);
        ASSERT_EQ(
            symlink(("../devices/pci0000:00/0000:00:03.0/nvme/nvme0/" + std::string(ns)).c_str(),
                    m_root.file(std::string("sys/block/") + ns).c_str()),
            0);
        Set(nvme + "/" + ns + "/wwid", std::string("nvme.1b36-4e56-") + ns + "\n");
        ASSERT_EQ(symlink("..", m_root.file(nvme + "/" + ns + "/device").c_str()), 0);
    }
    Set(nvme + "/serial", "NVME0SERIAL         \n");
    // A serial of blanks is none (the collector leaves such a disk out).
    Disk("vda", "sys/devices/pci0000:00/0000:00:06.0/virtio3");
    Set("sys/devices/pci0000:00/0000:00:06.0/virtio3/block/vda/serial", "        \n");
    EXPECT_EQ(Serials(), (std::vector<std::wstring>{L"NVME0SERIAL         ",
                                                    L"NVME0SERIAL         ", L"LUN7", L""}));
}

// A multipath NVMe namespace hangs below a virtual subsystem device; it takes
// the place of its first path, between the disks of other controllers.
TEST_F(DiskListing, MultipathNamespacesSitWhereTheirPathsAre) {
    const struct {
        const char* m_szHead;
        const char* m_szPath;
        const char* m_szController;
        const char* m_szSerial;
    } namespaces[] = {
        {"nvme0n1", "nvme0c0n1", "0000:00:09.0", "LATER"},
        {"nvme1n1", "nvme1c1n1", "0000:00:02.0", "FIRST"},
    };
    for (const auto& ns : namespaces) {
        const std::string subsystem =
            std::string("sys/devices/virtual/nvme-subsystem/nvme-subsys") + (ns.m_szHead + 4)[0];
        const std::string head = subsystem + "/" + ns.m_szHead;
        const std::string path = std::string("devices/pci0000:00/") + ns.m_szController +
                                 "/nvme/nvme" + (ns.m_szHead + 4)[0] + "/" + ns.m_szPath;
        Set(head + "/wwid", std::string("eui.") + ns.m_szSerial + "\n");
        Set(subsystem + "/serial", std::string(ns.m_szSerial) + "\n");
        Set("sys/" + path + "/hidden", "1\n");
        ASSERT_EQ(symlink("..", m_root.file(head + "/device").c_str()), 0);
        ASSERT_EQ(
            system(("mkdir -p " + m_root.file(head + "/multipath") + " " + m_root.file("sys/block"))
                       .c_str()),
            0);
        ASSERT_EQ(symlink(("../../../../../" + path.substr(8)).c_str(),
                          m_root.file(head + "/multipath/" + ns.m_szPath).c_str()),
                  0);
        ASSERT_EQ(symlink(("../" + head.substr(4)).c_str(),
                          m_root.file(std::string("sys/block/") + ns.m_szHead).c_str()),
                  0);
        ASSERT_EQ(symlink(("../" + path).c_str(),
                          m_root.file(std::string("sys/block/") + ns.m_szPath).c_str()),
                  0);
    }
    const std::string scsi = kScsi;
    Disk("sda", scsi + "/target0:0:0", "0:0:0:0");
    Set(scsi + "/target0:0:0/0:0:0:0/vpd_pg80", std::string("\0\x80\0\x04"
                                                            "MIDL",
                                                            8));
    EXPECT_EQ(Serials(), (std::vector<std::wstring>{L"FIRST", L"MIDL", L"LATER"}));
}

}  // namespace
}  // namespace vorn::test
