#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "flash/Flashmsg.h"
#include "package/ZipPackage.h"
#include "platform/RecordingConsole.h"
#include "platform/TempFile.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct SZipEntry {
    std::string name;
    Bytes content;
    const char* password = nullptr;
    bool stored = false;  // no compression: damaged bytes pass inflate, only the CRC tells
};

// Archives are made with minizip's own zip layer, so the reader is tested
// against what a real zip writer produces.
void WriteZip(const std::string& path, const std::vector<SZipEntry>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    for (const auto& entry : entries) {
        zip_fileinfo info{};
        uLong crc = crc32(0L, entry.content.data(), static_cast<uInt>(entry.content.size()));
        ASSERT_EQ(zipOpenNewFileInZip3_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                          entry.stored ? 0 : Z_DEFLATED, entry.stored ? 0 : Z_BEST_SPEED, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                          entry.password, crc, 0),
                  ZIP_OK);
        if (!entry.content.empty()) {
            ASSERT_EQ(zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size())),
                      ZIP_OK);
        }
        ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ZipPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("jv-zip-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "unpack");
        SetPackageTempDirectory((dir_ / "unpack").string());
        SetMessageTable(false);
    }
    void TearDown() override {
        SetPackageTempDirectory({});
        fs::remove_all(dir_);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs the loader and checks that no unpacked file is left behind,
    // whatever the outcome.
    bool Load(const std::string& name, SPackageFile& package) {
        RecordingConsole console;
        ScopedConsole scope(console);
        bool ok = LoadPackageFile(Path(name), package, FlashMessage(kMsgLoadYtrFail));
        output_ = console.Transcript();
        EXPECT_TRUE(fs::is_empty(dir_ / "unpack")) << "unpacked file left behind";
        EXPECT_FALSE(fs::exists("c:\\temp.ytr"));
        return ok;
    }

    fs::path dir_;
    std::string output_;
};

TEST_F(ZipPackageTest, PlainPackageLoadsWithoutUnpacking) {
    auto sample = test::SamplePackage(0x4000);
    WriteFile(Path("p.ytr"), test::BuildV3(sample));
    SPackageFile package;
    ASSERT_TRUE(Load("p.ytr", package));
    EXPECT_EQ(output_, "");
    EXPECT_FALSE(package.philips);
    EXPECT_EQ(package.image, test::ImageOf(sample));
    EXPECT_EQ(package.header.MaxBankSize, 0x4000u);
}

TEST_F(ZipPackageTest, ArchiveGivesItsLastFileEntryAndSkipsDirectories) {
    test::SV3Package first = test::SamplePackage(0x2000);
    test::SV3Package second = test::SamplePackage(0x4000);
    second.atapiFlashType = 5;
    WriteZip(Path("two.zip"), {{"first.ytr", test::BuildV3(first)},
                               {"second.ytr", test::BuildV3(second)},
                               {"empty-dir/", {}}});
    SPackageFile package;
    ASSERT_TRUE(Load("two.zip", package)) << output_;
    EXPECT_EQ(output_, "");
    EXPECT_EQ(package.image, test::ImageOf(second));
    EXPECT_EQ(package.header.AtapiFlashType, 5);
}

TEST_F(ZipPackageTest, PhilipsFileIsTakenOnlyFromInsideAnArchive) {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(100, 7);
    file.trailer1 = 0xBEEF;
    file.trailer2 = 0x1234;
    Bytes raw = test::BuildPhilipsFile(file);
    WriteFile(Path("raw.bin"), raw);
    WriteZip(Path("raw.zip"), {{"raw.bin", raw}});

    SPackageFile plain;
    EXPECT_FALSE(Load("raw.bin", plain));
    EXPECT_EQ(output_, "Not Valid YTR !\n");

    SPackageFile zipped;
    ASSERT_TRUE(Load("raw.zip", zipped)) << output_;
    EXPECT_TRUE(zipped.philips);
    EXPECT_EQ(zipped.image, file.image);
    EXPECT_EQ(zipped.header.HeaderCheckSum, 0xBEEF);
    EXPECT_EQ(zipped.header.TrailerValue2, 0x1234);
}

TEST_F(ZipPackageTest, FailureTextsOfTheReadingSteps) {
    struct SCase {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* message;
    };
    const std::vector<SCase> cases = {
        {"missing file", [](const std::string&) {}, "Get YTR File Length Fail !\n"},
        {"empty file", [](const std::string& p) { WriteFile(p, {}); }, "Get YTR File Length Fail !\n"},
        {"text file", [](const std::string& p) { WriteFile(p, Text("just some text\r\n")); }, "Not Valid YTR !\n"},
        {"one byte Z", [](const std::string& p) { WriteFile(p, Text("Z")); }, "Not Valid YTR !\n"},
        {"archive without entries", [](const std::string& p) { WriteZip(p, {}); }, "Not Valid YTR !\n"},
        {"archive of directories only", [](const std::string& p) { WriteZip(p, {{"a/", {}}, {"a/b/", {}}}); },
         "Get YTR File Length Fail !\n"},
        // Content that is no package is told by its magic, before any size.
        {"text beginning like a package", [](const std::string& p) { WriteFile(p, Text("ZEBRA\r\n")); },
         "Load YTR Fail!\n"},
        {"archive of a text", [](const std::string& p) { WriteZip(p, {{"x", Text("ZEBRA\r\n")}}); },
         "Load YTR Fail!\n"},
        {"archive of a file too short for the magic",
         [](const std::string& p) { WriteZip(p, {{"x", Text("ZERV")}}); }, "Load YTR Fail!\n"},
        // ... but an image size of 0 where a header keeps it is read first.
        {"text with zeros where the bank count lies",
         [](const std::string& p) {
             Bytes text = Text("ZEBRA\r\n");
             text.resize(64, 0);
             WriteFile(p, text);
         },
         "Get YTR File Length Fail !\n"},
        {"text with text where the bank count lies",
         [](const std::string& p) { WriteFile(p, Text("ZEBRA: a text, and no package at all\r\n")); },
         "Load YTR Fail!\n"},
        {"package of an image larger than 64 MiB",
         [](const std::string& p) {
             Bytes package = test::BuildV3(test::SamplePackage(0x4000));
             test::PutLe32(package, 40, 0x40000000);
             WriteFile(p, package);
         },
         "Get YTR File Length Fail !\n"},
        {"archive of a Philips file without image",
         [](const std::string& p) {
             test::SPhilipsFile f;
             WriteZip(p, {{"cvt.bin", test::BuildPhilipsFile(f)}});
         },
         "Get YTR File Length Fail !\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Path("input"));
        c.make(Path("input"));
        SPackageFile package;
        EXPECT_FALSE(Load("input", package));
        EXPECT_EQ(output_, c.message);
    }
}

TEST_F(ZipPackageTest, PackageThatLiesAboutItsBanksIsRefusedWithTheMessageTableText) {
    Bytes full = test::BuildV3(test::SamplePackage(0x4000));
    Bytes truncated(full.begin(), full.end() - 1);
    WriteFile(Path("short.ytr"), truncated);
    WriteZip(Path("short.zip"), {{"short.ytr", truncated}});
    for (const char* name : {"short.ytr", "short.zip"}) {
        SCOPED_TRACE(name);
        SPackageFile package;
        EXPECT_FALSE(Load(name, package));
        EXPECT_EQ(output_, "Load YTR Fail!\n");
        EXPECT_TRUE(package.image.empty());
    }
    // In silent mode the message table holds empty texts: only the line feed.
    SetMessageTable(true);
    SPackageFile package;
    EXPECT_FALSE(Load("short.ytr", package));
    EXPECT_EQ(output_, "\n");
}

TEST_F(ZipPackageTest, EntryNeedingAPasswordIsNotUnpacked) {
    Bytes good = test::BuildV3(test::SamplePackage(0x2000));
    WriteZip(Path("locked.zip"), {{"p.ytr", good, "secret"}});
    SPackageFile package;
    EXPECT_FALSE(Load("locked.zip", package));
    EXPECT_EQ(output_, "Get YTR File Length Fail !\n");
}

// What the unpacked file holds, read through its descriptor.
Bytes Held(OwnFile& file) {
    Bytes bytes(static_cast<size_t>(file.Size().value_or(0)));
    EXPECT_TRUE(file.ReadAt(0, bytes));
    return bytes;
}

uint32_t Le32(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// Makes the one entry of an archive declare more bytes than its data holds,
// in its local header and in the central directory alike, as minizip wants
// them to agree.
void DeclareMore(Bytes& zip, uint32_t more) {
    constexpr size_t kLocalUncompressed = 22;
    constexpr size_t kCentralUncompressed = 24;
    constexpr size_t kEndRecord = 22;  // no comment follows it
    ASSERT_EQ(Le32(zip, 0), 0x04034B50u);
    const size_t end = zip.size() - kEndRecord;
    ASSERT_EQ(Le32(zip, end), 0x06054B50u);
    const size_t central = Le32(zip, end + 16);
    ASSERT_EQ(Le32(zip, central), 0x02014B50u);
    test::PutLe32(zip, kLocalUncompressed, Le32(zip, kLocalUncompressed) + more);
    test::PutLe32(zip, central + kCentralUncompressed, Le32(zip, central + kCentralUncompressed) + more);
}

TEST_F(ZipPackageTest, UnpackingIsBoundedByTheEntrySizeWhateverTheDirectoryClaims) {
    Bytes content = test::FillerBytes(5000, 3);
    WriteZip(Path("big.zip"), {{"big.bin", content}});
    OwnFile out = OwnFile::CreatePrivate(dir_.string());
    ASSERT_TRUE(out.IsOpen());
    EXPECT_EQ(UnpackLastEntry(Path("big.zip"), out, 5000), 1u);
    EXPECT_EQ(Held(out), content);

    ASSERT_TRUE(out.Append(Text("stale")));
    EXPECT_EQ(UnpackLastEntry(Path("big.zip"), out, 4999), 1u);
    EXPECT_TRUE(Held(out).empty());

    // Make the central directory claim 100 bytes: the bound must hold while
    // the bytes are streamed, not only against the claim.
    Bytes zip = ReadFile(Path("big.zip"));
    bool patched = false;
    for (size_t at = 0; at + 46 <= zip.size(); ++at) {
        if (zip[at] == 0x50 && zip[at + 1] == 0x4B && zip[at + 2] == 0x01 && zip[at + 3] == 0x02) {
            test::PutLe32(zip, at + 24, 100);
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    WriteFile(Path("lying.zip"), zip);
    EXPECT_EQ(UnpackLastEntry(Path("lying.zip"), out, 1000), 1u);
    EXPECT_TRUE(Held(out).empty());
}

// minizip checks the CRC only once the declared size has been read: an
// entry whose data ends early would pass unchecked, whatever it holds.
TEST_F(ZipPackageTest, EntryGivingFewerBytesThanItDeclaresDoesNotLoad) {
    Bytes good = test::BuildV3(test::SamplePackage(0x4000));
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "deflated");
        WriteZip(Path("p.zip"), {{"p.ytr", good, nullptr, stored}});
        Bytes zip = ReadFile(Path("p.zip"));
        DeclareMore(zip, 16);
        WriteFile(Path("short.zip"), zip);
        SPackageFile package;
        EXPECT_FALSE(Load("short.zip", package));
        EXPECT_EQ(output_, "Get YTR File Length Fail !\n");
    }
}

TEST_F(ZipPackageTest, DamagedEntryLeavesNothingToLoad) {
    Bytes good = test::BuildV3(test::SamplePackage(0x40000));
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "deflated");
        WriteZip(Path("p.zip"), {{"p.ytr", good, nullptr, stored}});
        Bytes zip = ReadFile(Path("p.zip"));
        // Damage the entry's data near its end, after many bytes have been
        // unpacked: a half-unpacked or unchecked package must not load.
        size_t at = zip.size() - 200;
        for (size_t i = at; i < at + 8; ++i) zip[i] ^= 0x5A;
        WriteFile(Path("bad.zip"), zip);
        SPackageFile package;
        EXPECT_FALSE(Load("bad.zip", package));
        EXPECT_EQ(output_, "Get YTR File Length Fail !\n");
    }
}

}  // namespace
}  // namespace jv
