// Finding a drive's device key in the registry and reading and writing its
// auto-insert notification, on the in-memory registry.
#include <gtest/gtest.h>

#include <set>

#include "drive/Autoinsertnotification.h"
#include "platform/RecordingConsole.h"
#include "platform/Registry.h"

namespace jv {
namespace {

// Model name (24 characters) and version (4): the device name.
const std::string kDevice = std::string("ZERV    DVDRW QLX-1640  ") + "1.02";
const std::string kKey = "Enum\\SCSI\\ZERV____DVDRW_QLX-1640__1";

// A registry in which some subkeys cannot be opened, and which counts opens.
class GuardedRegistry final : public Registry {
public:
    MemoryRegistry memory;
    std::set<std::string> locked;
    int opens = 0;

    bool Open(Key parent, const std::string& path, Key& key) override {
        ++opens;
        if (locked.count(path)) return false;
        return memory.Open(parent, path, key);
    }
    bool EnumKey(Key key, uint32_t index, std::string& name) override { return memory.EnumKey(key, index, name); }
    bool QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) override {
        return memory.QueryValue(key, name, data, size);
    }
    bool SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) override {
        return memory.SetBinaryValue(key, name, data, size);
    }
    void Close(Key key) override { memory.Close(key); }
};

class AutoInsertTest : public ::testing::Test {
protected:
    AutoInsertTest() : scope_(registry_) {}

    void Instance(const std::string& name, const std::string& revision, int notification = -1) {
        registry_.memory.SetString(kKey + "\\" + name, "RevisionLevel", revision);
        if (notification >= 0)
            registry_.memory.SetValue(kKey + "\\" + name, "AutoInsertNotification",
                                      {static_cast<uint8_t>(notification)});
    }
    std::vector<uint8_t> Stored(const std::string& name) {
        std::vector<uint8_t> value;
        registry_.memory.GetValue(kKey + "\\" + name, "AutoInsertNotification", value);
        return value;
    }

    GuardedRegistry registry_;

private:
    ScopedRegistry scope_;
};

TEST(DriveKeyPath, SpacesBecomeUnderscoresAndOnlyTheFirstRevisionCharacterCounts) {
    EXPECT_EQ(DriveKeyPath(kDevice), kKey);
    EXPECT_EQ(DriveKeyPath(std::string("PIONEER DVD-RW  DVR-X99 ") + "1.10"),
              "Enum\\SCSI\\PIONEER_DVD-RW__DVR-X99_1");
    EXPECT_EQ(DriveKeyPath("SHORT NAME"), "Enum\\SCSI\\SHORT_NAME");
    // The name is a C string to the key: it ends at a NUL.
    EXPECT_EQ(DriveKeyPath(std::string("AB\0CD", 5)), "Enum\\SCSI\\AB");
}

TEST_F(AutoInsertTest, TheInstanceWhoseRevisionMatchesIsOpenedAndTheOthersClosed) {
    Instance("MF&CHILD0000&PCI", "1.01", 0);
    Instance("MF&CHILD0001&PCI", "1.02", 1);
    Registry::Key key = 0;
    ASSERT_TRUE(OpenDriveKey(kDevice, key));
    EXPECT_EQ(registry_.memory.OpenKeys(), 1u);  // only the instance key stays open
    uint8_t value = 0;
    uint32_t length = 1;
    ASSERT_TRUE(registry_.QueryValue(key, "AutoInsertNotification", &value, length));
    EXPECT_EQ(value, 1);
    registry_.Close(key);
}

TEST_F(AutoInsertTest, RevisionIsComparedOnItsFirstFourCharacters) {
    Instance("A", "1.0");        // shorter: no match
    Instance("B", "1.02ABC", 1);  // longer, first four equal: a match
    EXPECT_EQ(ReadAutoInsert(kDevice), 1);

    Instance("B", "1.03", 1);
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);

    // A value too long for the eight-byte read is not readable, so no match.
    Instance("B", "1.02 and far too long", 1);
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);
    EXPECT_EQ(registry_.memory.OpenKeys(), 0u);
}

TEST_F(AutoInsertTest, ASubkeyWithoutARevisionIsSkipped) {
    registry_.memory.CreateKey(kKey + "\\Empty");
    Instance("Later", "1.02", 0);
    EXPECT_EQ(ReadAutoInsert(kDevice), 0);
}

TEST_F(AutoInsertTest, ASubkeyThatCannotBeOpenedEndsTheSearch) {
    Instance("Locked", "0.00");
    Instance("Match", "1.02", 1);
    registry_.locked = {"Locked"};
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);
    EXPECT_FALSE(WriteAutoInsert(kDevice, 0));
    EXPECT_EQ(Stored("Match"), std::vector<uint8_t>{1});
    EXPECT_EQ(registry_.memory.OpenKeys(), 0u);
}

TEST_F(AutoInsertTest, NothingFoundReadsTwoAndWritesNothing) {
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);
    EXPECT_FALSE(WriteAutoInsert(kDevice, 1));
    Instance("A", "1.02");  // the instance exists, the value does not
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);
    registry_.memory.SetValue(kKey + "\\A", "AutoInsertNotification", {1, 0});  // not one byte
    EXPECT_EQ(ReadAutoInsert(kDevice), 2);
}

TEST_F(AutoInsertTest, WriteStoresOneBinaryByte) {
    Instance("A", "1.02", 1);
    EXPECT_TRUE(WriteAutoInsert(kDevice, 0));
    EXPECT_EQ(Stored("A"), std::vector<uint8_t>{0});
    EXPECT_EQ(ReadAutoInsert(kDevice), 0);
    EXPECT_EQ(registry_.memory.OpenKeys(), 0u);
}

TEST_F(AutoInsertTest, ANotificationThatIsOnIsSwitchedOffAndTheRunEnds) {
    Instance("A", "1.02", 1);
    RecordingConsole console;
    ScopedConsole screen(console);
    EXPECT_TRUE(SwitchOffAutoInsert(kDevice));
    EXPECT_EQ(Stored("A"), std::vector<uint8_t>{0});
    EXPECT_EQ(console.Text(),
              "Owing to the restriction of Windows 98/ME,\n"
              "the auto-insert notification must be shutdowned.\n"
              "It has been done, but you have to restart os and execute this tool again!\n");

    // The next run finds it off and goes on without a word.
    console.ClearTranscript();
    EXPECT_FALSE(SwitchOffAutoInsert(kDevice));
    EXPECT_EQ(console.Transcript(), "");
}

TEST_F(AutoInsertTest, NothingFoundLetsTheUpdateGoOnSilently) {
    RecordingConsole console;
    ScopedConsole screen(console);
    EXPECT_FALSE(SwitchOffAutoInsert(kDevice));
    EXPECT_EQ(console.Transcript(), "");
    EXPECT_EQ(registry_.memory.Writes(), 0u);
}

TEST_F(AutoInsertTest, AfterTheFlashTheUserIsAskedBeforeItGoesBackOn) {
    Instance("A", "1.02", 0);
    RecordingConsole console("n");
    ScopedConsole screen(console);
    OfferAutoInsertOn(kDevice, false);
    EXPECT_EQ(console.Text(), "Would you like to activate the auto-insert notification ? (Y/N)\n");
    EXPECT_EQ(Stored("A"), std::vector<uint8_t>{0});

    console.ClearTranscript();
    console.SetKeys("Y");
    OfferAutoInsertOn(kDevice, false);
    EXPECT_EQ(console.Text(), "Would you like to activate the auto-insert notification ? (Y/N)\ny\n");
    EXPECT_EQ(Stored("A"), std::vector<uint8_t>{1});
}

TEST_F(AutoInsertTest, SilentModeSwitchesItBackOnWithoutAsking) {
    Instance("A", "1.02", 0);
    RecordingConsole console("n");
    ScopedConsole screen(console);
    OfferAutoInsertOn(kDevice, true);
    EXPECT_EQ(console.Transcript(), "");
    EXPECT_EQ(console.KeysLeft(), 1u);
    EXPECT_EQ(Stored("A"), std::vector<uint8_t>{1});
}

TEST(MemoryRegistry, KeysAreFoundWithoutRegardToCaseAndListedInCreationOrder) {
    MemoryRegistry registry;
    registry.CreateKey("Enum\\SCSI\\Drive\\Second");
    registry.CreateKey("Enum\\SCSI\\Drive\\First");
    Registry::Key key = 0;
    ASSERT_TRUE(registry.Open(Registry::kLocalMachine, "enum\\scsi\\DRIVE", key));
    std::string name;
    ASSERT_TRUE(registry.EnumKey(key, 0, name));
    EXPECT_EQ(name, "Second");
    ASSERT_TRUE(registry.EnumKey(key, 1, name));
    EXPECT_EQ(name, "First");
    EXPECT_FALSE(registry.EnumKey(key, 2, name));
    registry.Close(key);
    EXPECT_FALSE(registry.EnumKey(key, 0, name));  // a closed key is gone
    EXPECT_FALSE(registry.Open(Registry::kLocalMachine, "Enum\\SCSI\\Other", key));
}

}  // namespace
}  // namespace jv
