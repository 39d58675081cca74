// The simulator's registry file: the exported text a packager writes or
// pastes, read into the machine's registry and written back after each
// change, and every kind of text it must refuse without harm.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "drive/Autoinsertnotification.h"
#include "platform/Registry.h"
#include "sim/RegistryFile.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using Kind = MemoryRegistry::EValueKind;

const std::string kDevice = "ZERV    DVD-RW QLX-1600 1.02";
const std::string kInstance = "Enum\\SCSI\\ZERV____DVD-RW_QLX-1600_1\\0001";

std::string Dump(const MemoryRegistry& registry) {
    std::string out;
    for (const auto& key : registry.Keys()) {
        out += "[" + key.path + (key.hasSubkeys ? "]+\n" : "]\n");
        for (const auto& value : key.values) {
            out += " " + value.name + (value.kind == Kind::String ? " s:" : " b:");
            for (uint8_t b : value.data) out += std::to_string(b) + ",";
            out += "\n";
        }
    }
    return out;
}

TEST(RegistryFile, AnExportedTextIsTheMachinesRegistry) {
    // As the editor writes it: CR LF, a byte order mark, comments, the hive
    // in another case, and a long binary value wrapped over two lines.
    const std::string text =
        "\xEF\xBB\xBFREGEDIT4\r\n\r\n; the sample drive\r\n"
        "[hkey_local_machine\\Enum\\SCSI\\ZERV____DVD-RW_QLX-1600_1\\0001]\r\n"
        "\"RevisionLevel\"=\"1.02\"\r\n"
        "  \"AutoInsertNotification\" = hex:00\r\n"
        "\"Blob\"=hex:01,02,\\\r\n  0a,FF\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Quoted\"=\"C:\\\\dir \\\"x\\\"\"\r\n";
    MemoryRegistry registry;
    std::string error;
    ASSERT_TRUE(sim::ParseRegistryText(text, registry, error)) << error;
    EXPECT_EQ(Dump(registry),
              "[Enum]+\n[Enum\\SCSI]+\n[Enum\\SCSI\\ZERV____DVD-RW_QLX-1600_1]+\n"
              "[Enum\\SCSI\\ZERV____DVD-RW_QLX-1600_1\\0001]\n"
              " RevisionLevel s:49,46,48,50,0,\n AutoInsertNotification b:0,\n Blob b:1,2,10,255,\n Empty b:\n"
              " Quoted s:67,58,92,100,105,114,32,34,120,34,0,\n");

    // The notification code finds the drive's instance key in it.
    ScopedRegistry installed(registry);
    EXPECT_EQ(ReadAutoInsert(kDevice), kAutoInsertOff);
    EXPECT_TRUE(WriteAutoInsert(kDevice, kAutoInsertOn));
    EXPECT_EQ(ReadAutoInsert(kDevice), kAutoInsertOn);

    // A text with nothing in it yet is an empty registry, not an error.
    EXPECT_TRUE(sim::ParseRegistryText("", registry, error));
    EXPECT_TRUE(sim::ParseRegistryText("\r\n; nothing yet\r\n", registry, error));
    EXPECT_TRUE(registry.Keys().empty());
}

TEST(RegistryFile, WhatIsWrittenReadsBackTheSame) {
    MemoryRegistry registry;
    registry.SetString(kInstance, "RevisionLevel", "1.02");
    registry.SetValue(kInstance, "AutoInsertNotification", {1});
    registry.SetString(kInstance, "Path", "C:\\drv \"new\"");
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    registry.SetValue(kInstance, "Big", big);
    // A string no one-line text can carry keeps its bytes, as hex.
    registry.SetString(kInstance, "Odd", std::string("a\0b\n", 4));
    registry.CreateKey("Enum\\SCSI\\OTHER\\0002");

    const std::string text = sim::RegistryText(registry);
    EXPECT_TRUE(text.starts_with("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + kInstance + "]\r\n"
                                 "\"RevisionLevel\"=\"1.02\"\r\n\"AutoInsertNotification\"=hex:01\r\n"
                                 "\"Path\"=\"C:\\\\drv \\\"new\\\"\"\r\n"))
        << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\OTHER\\0002]\r\n"), std::string::npos) << text;
    // The editor's wrapping: no line grows past 80 characters.
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);

    MemoryRegistry again;
    std::string error;
    ASSERT_TRUE(sim::ParseRegistryText(text, again, error)) << error;
    std::vector<uint8_t> odd;
    ASSERT_TRUE(again.GetValue(kInstance, "Odd", odd));
    EXPECT_EQ(odd, (std::vector<uint8_t>{'a', 0, 'b', '\n', 0}));
    registry.SetValue(kInstance, "Odd", odd);
    EXPECT_EQ(Dump(again), Dump(registry));
    EXPECT_EQ(sim::RegistryText(again), text);

    // A value written by the program becomes binary, whatever it was.
    Registry::Key key = 0;
    ASSERT_TRUE(again.Open(Registry::kLocalMachine, kInstance, key));
    const uint8_t zero = 0;
    ASSERT_TRUE(again.SetBinaryValue(key, "revisionlevel", &zero, 1));
    again.Close(key);
    EXPECT_NE(sim::RegistryText(again).find("\"RevisionLevel\"=hex:00\r\n"), std::string::npos);
}

TEST(RegistryFile, TextsItCannotReadAreRefusedByLineAndLeaveNothing) {
    const std::string head = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\D\\0001]\n";
    struct SCase {
        std::string text;
        std::string line;
    } cases[] = {
        {"Windows Registry Editor Version 5.00\n", "line 1"},
        {"REGEDIT4\n\"A\"=hex:01\n", "line 2"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE]\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\\\SCSI]\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\a\tb]\n", "line 2"},
        {head + "\"A=hex:01\n", "line 3"},
        {head + "\"A\" hex:01\n", "line 3"},
        {head + "\"A\"=\"C:\\dir\"\n", "line 3"},
        {head + "\"A\"=\"text\" trailing\n", "line 3"},
        {head + "\"A\"=\"open\n", "line 3"},
        {head + "\"A\"=dword:00000001\n", "line 3"},
        {head + "@=\"default\"\n", "line 3"},
        {head + "\"A\"=hex:1g\n", "line 3"},
        {head + "\"A\"=hex:123\n", "line 3"},
        {head + "\"A\"=hex:01,,02\n", "line 3"},
        {head + "\"A\"=hex:01,\n", "line 3"},
        {head + "\"A\"=hex:01,\\\n  02,zz\n", "line 4"},
        {head + "\"A\"=hex:01,\\\n", "line 3"},
        {head + std::string("\"A\"=hex:0\0,1\n", 13), "line 3"},
    };
    for (const SCase& c : cases) {
        MemoryRegistry registry;
        registry.SetValue("Enum\\Old", "Kept", {1});
        std::string error;
        EXPECT_FALSE(sim::ParseRegistryText(c.text, registry, error)) << c.text;
        EXPECT_TRUE(error.starts_with(c.line + ": ")) << c.text << " -> " << error;
        EXPECT_TRUE(registry.Keys().empty()) << c.text;
    }

    // Keys nested past the real registry's depth are refused before the
    // tree is built.
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 513; ++i) deep += "\\k";
    MemoryRegistry registry;
    std::string error;
    EXPECT_FALSE(sim::ParseRegistryText(deep + "]\n", registry, error));
    EXPECT_NE(error.find("512"), std::string::npos) << error;
}

TEST(RegistryFile, LongLinesAndLongValuesAreRead) {
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + kInstance + "]\n\"Long\"=hex:";
    const size_t count = 200000;
    for (size_t i = 0; i < count; ++i) text += (i ? ",7f" : "7f");
    text += "\n\"" + std::string(5000, 'n') + "\"=\"" + std::string(5000, 'v') + "\"\n";
    MemoryRegistry registry;
    std::string error;
    ASSERT_TRUE(sim::ParseRegistryText(text, registry, error)) << error;
    std::vector<uint8_t> value;
    ASSERT_TRUE(registry.GetValue(kInstance, "Long", value));
    EXPECT_EQ(value, std::vector<uint8_t>(count, 0x7F));
    ASSERT_TRUE(registry.GetValue(kInstance, std::string(5000, 'N'), value));
    EXPECT_EQ(value.size(), 5001u);
}

class RegistryFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("jv-reg-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    fs::path dir_;
};

TEST_F(RegistryFileOnDisk, AMissingFileIsEmptyAndASavedOneLoadsAgain) {
    MemoryRegistry registry;
    std::string error;
    EXPECT_TRUE(sim::LoadRegistryFile(Path("none.reg"), registry, error));
    EXPECT_TRUE(registry.Keys().empty());
    EXPECT_FALSE(fs::exists(Path("none.reg")));

    registry.SetString(kInstance, "RevisionLevel", "1.02");
    registry.SetValue(kInstance, "AutoInsertNotification", {0});
    ASSERT_TRUE(sim::SaveRegistryFile(Path("machine.reg"), registry));
    MemoryRegistry loaded;
    ASSERT_TRUE(sim::LoadRegistryFile(Path("machine.reg"), loaded, error)) << error;
    EXPECT_EQ(Dump(loaded), Dump(registry));
    // Written beside and renamed over: nothing else is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(RegistryFileOnDisk, AnUnreadableBadOrHugeFileIsNamedAndGivesAnEmptyRegistry) {
    Write("bad.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum]\n\"A\"=hex:zz\n");
    fs::create_directories(dir_ / "folder.reg");
    Write("huge.reg", "REGEDIT4\n;" + std::string(sim::kMaxRegistryFileBytes, 'x') + "\n");
    struct SCase {
        std::string name;
        std::string says;
    } cases[] = {
        {"bad.reg", "bad.reg: line 3: "},
        {"folder.reg", "cannot read registry file"},
        {"huge.reg", "larger than 1 MiB"},
    };
    for (const SCase& c : cases) {
        MemoryRegistry registry;
        registry.SetValue("Enum\\Old", "Kept", {1});
        std::string error;
        EXPECT_FALSE(sim::LoadRegistryFile(Path(c.name), registry, error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_TRUE(registry.Keys().empty()) << c.name;
    }
}

TEST(RegistryFile, ARelativeFileLiesBesideTheRig) {
    EXPECT_EQ(sim::BesideRig("/rigs/win98.ini", "machine.reg"), "/rigs/machine.reg");
    EXPECT_EQ(sim::BesideRig("/rigs/win98.ini", "sub/machine.reg"), "/rigs/sub/machine.reg");
    EXPECT_EQ(sim::BesideRig("/rigs/win98.ini", "/etc/machine.reg"), "/etc/machine.reg");
    EXPECT_EQ(sim::BesideRig("win98.ini", "machine.reg"), "machine.reg");
}

}  // namespace
}  // namespace jv
