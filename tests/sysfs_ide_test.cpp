// Where sysfs places a drive on an IDE channel, read from trees made here in
// the shape the kernel gives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ScratchFolderTest.h"
#include "platform/SysfsIde.h"

namespace jv {
namespace {

namespace fs = std::filesystem;

class SysfsIdeTest : public testing::ScratchFolderTest {
protected:
    SysfsIdeTest() : ScratchFolderTest("jv-sysfs-") {}

    // One machine: the block device 11:0 at devicePath below devices/, its
    // ATA port's attributes and its controller's class and BARs.
    struct STree {
        std::string devicePath;    // from the controller down, "" for none
        std::string pciClass;      // the controller's class file, "" for none
        std::string resource;      // the controller's resource file
        std::string portNo = "1";  // ata_port/ataN/port_no
        std::string kind = "atapi";  // the ata_device's class
    };
    std::string Build(const std::string& name, const STree& tree) {
        const fs::path root = dir_ / name;
        const fs::path controller = root / "devices/pci0000:00/0000:00:1f.1";
        const fs::path block = controller / tree.devicePath / "block/sr0";
        fs::create_directories(block);
        if (!tree.pciClass.empty()) Put((controller / "class").string(), tree.pciClass + "\n");
        Put((controller / "resource").string(), tree.resource);
        if (tree.devicePath.rfind("ata3/", 0) == 0) {
            const fs::path ata = controller / "ata3";
            fs::create_directories(ata / "ata_port/ata3");
            Put((ata / "ata_port/ata3/port_no").string(), tree.portNo + "\n");
            for (const char* device : {"dev3.0", "dev3.1"}) {
                fs::create_directories(ata / "link3" / device / "ata_device" / device);
                Put((ata / "link3" / device / "ata_device" / device / "class").string(), tree.kind + "\n");
            }
        }
        fs::create_directories(root / "dev/block");
        std::error_code error;
        fs::create_directory_symlink(fs::relative(block, root / "dev/block"), root / "dev/block/11:0", error);
        EXPECT_FALSE(error) << error.message();
        return root.string();
    }
};

// Lines of a resource file: start, end, flags; 0x40101 an I/O BAR, 0x40200
// a memory BAR.
const std::string kNativeBars =
    "0x000000000000c000 0x000000000000c007 0x0000000000040101\n"
    "0x000000000000c010 0x000000000000c013 0x0000000000040101\n"
    "0x000000000000c020 0x000000000000c027 0x0000000000040101\n"
    "0x000000000000c030 0x000000000000c033 0x0000000000040101\n";
const std::string kMemoryBars =
    "0x00000000fe000000 0x00000000fe0000ff 0x0000000000040200\n"
    "0x00000000fe000100 0x00000000fe0001ff 0x0000000000040200\n";

TEST_F(SysfsIdeTest, TheDrivesPortAndDeviceGiveItsRegistersAndAnythingElseIsRefused) {
    // Asked before any tree is made: a host without symbolic links (Windows)
    // has no sysfs, and names such as "2:0:0:0" mean something else there.
    std::error_code error;
    fs::create_directory_symlink(".", dir_ / "probe", error);
    if (error) GTEST_SKIP() << "this host makes no symbolic links: " << error.message();
    const std::string atapi = "ata3/host2/target2:0:0/2:0:0:0";
    const std::string slave = "ata3/host2/target2:0:1/2:0:1:0";
    const std::string refused = ", so the IDE route is refused.";
    struct SCase {
        const char* what;
        STree tree;
        SIdeLocation location;  // when why is empty
        std::string why;
    } cases[] = {
        {"legacy primary master", {atapi, "0x01018a", "", "1"}, {0x1F0, 0x3F6, 0}, ""},
        {"legacy secondary slave", {slave, "0x01018a", "", "2"}, {0x170, 0x376, 1}, ""},
        // Primary in compatibility mode, secondary in native mode.
        {"native secondary", {slave, "0x010184", kNativeBars, "2"}, {0xC020, 0xC032, 1}, ""},
        {"native primary without I/O BARs", {atapi, "0x01018f", kMemoryBars, "1"}, {},
         "/dev/sr0 is on ata3, a native-mode channel without usable I/O ports (BAR 0 and 1)" + refused},
        {"AHCI", {atapi, "0x010601", "", "1"}, {},
         "/dev/sr0 is on ata3 of a SATA (AHCI) controller: it has no IDE registers" + refused},
        {"USB", {"usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", "0x0c0330", "", "1"}, {},
         "/dev/sr0 is not on an ATA port (it is on USB, SCSI or another bus): it has no IDE registers" + refused},
        {"an ATA disk", {atapi, "0x01018a", "", "1", "ata"}, {},
         "/dev/sr0 is not an ATAPI device on ata3 (libata says 'ata')" + refused},
        {"a third port", {atapi, "0x01018a", "", "3"}, {},
         "/dev/sr0 is on ata3, which is neither the primary nor the secondary channel of its controller" + refused},
    };
    int n = 0;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string root = Build(std::to_string(n++), c.tree);
        SIdeLocation location{1, 2, 3};
        EXPECT_EQ(LocateIdeInSysfs(root, 11, 0, "/dev/sr0", location), c.why);
        if (!c.why.empty()) continue;
        EXPECT_EQ(location.taskFile, c.location.taskFile);
        EXPECT_EQ(location.control, c.location.control);
        EXPECT_EQ(location.device, c.location.device);
    }
    SIdeLocation location;
    EXPECT_EQ(LocateIdeInSysfs((dir_ / "0").string(), 11, 1, "/dev/sr1", location),
              "/dev/sr1 (device 11:1) is not in " + (dir_ / "0").string() +
                  "/dev/block: where it is attached cannot be told" + refused);
}

}  // namespace
}  // namespace jv
