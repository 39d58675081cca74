#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MergeCore.h"
#include "PackageBuilder.h"
#include "driver/Settings.h"
#include "util/Tool.h"

namespace jv {
namespace {

using test::Bytes;

const SBufferRecordInfo& Info(BufferId id) {
    for (const auto& record : kBufferRecords)
        if (record.id == id) return record;
    throw std::logic_error("no such record");
}

void Append(Bytes& file, std::string_view text) { file.insert(file.end(), text.begin(), text.end()); }

void AppendLe32(Bytes& file, uint32_t value) {
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A record header as the program carries it; returns where its data starts.
size_t AppendRecord(Bytes& file, const SBufferRecordInfo& info, uint8_t fill) {
    file.push_back(static_cast<uint8_t>(info.marker.size() + 4));
    Append(file, info.marker);
    AppendLe32(file, info.capacity);
    size_t data = file.size();
    file.insert(file.end(), info.capacity, fill);
    return data;
}

// A file laid out like a built program: the markers also stand in its
// constant data, and every record is followed by its end markers. The data
// areas hold 0xEE so that zero-filling shows.
struct SFakeProgram {
    Bytes file;
    size_t data[5] = {};
};

SFakeProgram MakeFakeProgram() {
    SFakeProgram program;
    Bytes& file = program.file;
    Append(file, "\x7f" "ELF padding ");
    // The program's own table of markers, as string constants.
    for (const auto& info : kBufferRecords) {
        Append(file, info.marker);
        file.push_back(0);
    }
    // Decoys: the right offset byte but a wrong capacity, and the right
    // capacity behind a wrong offset byte.
    file.push_back(20);
    Append(file, "YTR3 FILE BUFFER");
    AppendLe32(file, 0x1000);
    file.push_back(21);
    Append(file, "YTR3 FILE BUFFER");
    AppendLe32(file, kPackageBufferCapacity);
    program.data[0] = AppendRecord(file, Info(BufferId::Package1), 0xEE);
    program.data[1] = AppendRecord(file, Info(BufferId::Package2), 0xEE);
    program.data[2] = AppendRecord(file, Info(BufferId::Package3), 0xEE);
    Append(file, "YTR3 FILE BUFFERYTR3 FILE BUFFER2YTR3 FILE BUFFER3");
    file.push_back(0);
    program.data[3] = AppendRecord(file, Info(BufferId::Parameter), 0xEE);
    Append(file, "PARAMETER BUFFER");
    program.data[4] = AppendRecord(file, Info(BufferId::Cvt), 0xEE);
    Append(file, "CVT FILE BUFFER");
    Append(file, " trailing section");
    return program;
}

bool AllEqual(const Bytes& file, size_t from, size_t count, uint8_t value) {
    return std::all_of(file.begin() + static_cast<std::ptrdiff_t>(from),
                       file.begin() + static_cast<std::ptrdiff_t>(from + count),
                       [value](uint8_t b) { return b == value; });
}

TEST(MergeFindRecord, FindsEachRecordByOffsetByteAndCapacityAmongDecoys) {
    SFakeProgram program = MakeFakeProgram();
    for (size_t n = 0; n < 5; ++n) {
        SCOPED_TRACE(std::string(kBufferRecords[n].marker));
        merge::SRecordPlace place = merge::FindRecord(program.file, kBufferRecords[n]);
        EXPECT_EQ(place.error, "");
        EXPECT_EQ(place.dataOffset, program.data[n]);
    }
}

TEST(MergeFindRecord, MissingTruncatedOrRepeatedRecordIsAnError) {
    const auto& cvt = Info(BufferId::Cvt);
    SFakeProgram program = MakeFakeProgram();

    Bytes truncated(program.file.begin(), program.file.begin() + static_cast<std::ptrdiff_t>(program.data[4] + 100));
    EXPECT_NE(merge::FindRecord(truncated, cvt).error.find("only a built updater (jorvane, jorvane-sim or jorvane.exe) carries"), std::string::npos);
    EXPECT_NE(merge::FindRecord(Bytes(1000, 0), Info(BufferId::Package1)).error, "");

    Bytes twice = program.file;
    AppendRecord(twice, cvt, 0);
    EXPECT_NE(merge::FindRecord(twice, cvt).error.find("2 times"), std::string::npos);
}

TEST(MergeFillRecord, WritesTheDataZeroFillsTheRestAndTouchesNothingElse) {
    SFakeProgram program = MakeFakeProgram();
    const Bytes before = program.file;
    const auto& p2 = Info(BufferId::Package2);
    Bytes data = {1, 2, 3, 4, 5};
    ASSERT_EQ(merge::FillRecord(program.file, p2, data), "");

    size_t at = program.data[1];
    EXPECT_TRUE(std::equal(data.begin(), data.end(), program.file.begin() + static_cast<std::ptrdiff_t>(at)));
    EXPECT_TRUE(AllEqual(program.file, at + data.size(), p2.capacity - data.size(), 0));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(at), program.file.begin()));
    auto end = static_cast<std::ptrdiff_t>(at + p2.capacity);
    EXPECT_TRUE(std::equal(before.begin() + end, before.end(), program.file.begin() + end));

    // Empty data empties the buffer.
    ASSERT_EQ(merge::FillRecord(program.file, p2, {}), "");
    EXPECT_TRUE(AllEqual(program.file, at, p2.capacity, 0));
}

TEST(MergeFillRecord, RefusesDataLargerThanTheCapacityAndLeavesTheFileAlone) {
    SFakeProgram program = MakeFakeProgram();
    const Bytes before = program.file;
    const auto& cvt = Info(BufferId::Cvt);
    Bytes exact(cvt.capacity, 0x11);
    EXPECT_EQ(merge::FillRecord(program.file, cvt, exact), "");
    Bytes over(cvt.capacity + 1, 0x22);
    std::string error = merge::FillRecord(program.file, cvt, over);
    EXPECT_NE(error.find("holds at most 1114112 bytes"), std::string::npos) << error;
    EXPECT_TRUE(AllEqual(program.file, program.data[4], cvt.capacity, 0x11));
}

TEST(MergePrepare, SettingsTextGetsCrLfLineEndsAndAZeroByte) {
    struct Case {
        std::string text;
        std::string stored;  // without the ending zero byte
        size_t converted;
    };
    const Case cases[] = {
        {"[Main]\r\nUpdater=1\r\n", "[Main]\r\nUpdater=1\r\n", 0},
        {"[Main]\nUpdater=1\n", "[Main]\r\nUpdater=1\r\n", 2},
        {"[Main]\r\nUpdater=1\nodd line\r\n", "[Main]\r\nUpdater=1\r\nodd line\r\n", 1},
        {"\n[Main]", "\r\n[Main]", 1},
        {"a\r\r\nb\rc", "a\r\r\nb\rc", 0},  // a lone CR is part of its line, as the program reads it
        {std::string("a=1\n\0\0", 6), "a=1\r\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Bytes data;
        size_t converted = 99;
        ASSERT_EQ(merge::PrepareSettings(Bytes(c.text.begin(), c.text.end()), data, converted), "");
        Bytes expected(c.stored.begin(), c.stored.end());
        expected.push_back(0);
        EXPECT_EQ(data, expected);
        EXPECT_EQ(converted, c.converted);
    }

    // What the program makes of a text written on Linux.
    const std::string linux = "[Main]\nUpdater=1\n[Argument default value]\ns=1\n";
    Bytes data;
    size_t converted = 0;
    ASSERT_EQ(merge::PrepareSettings(Bytes(linux.begin(), linux.end()), data, converted), "");
    LineList lines;
    SplitLines(data.data(), data.size() - 1, lines);
    SParameter settings = ParseSettings(lines);
    EXPECT_EQ(settings.main.Updater, 1);
    EXPECT_EQ(settings.defaults.s, 1);

    // Text behind a zero byte would never be read.
    Bytes hidden = {'a', '=', '1', 0, 'b', '=', '2'};
    EXPECT_NE(merge::PrepareSettings(hidden, data, converted).find("zero byte at offset 3"), std::string::npos);

    // The ending zero byte must fit: a text of exactly the capacity does not.
    Bytes full(kParameterBufferCapacity, 'x');
    ASSERT_EQ(merge::PrepareSettings(full, data, converted), "");
    SFakeProgram program = MakeFakeProgram();
    EXPECT_NE(merge::FillRecord(program.file, Info(BufferId::Parameter), data), "");
}

TEST(MergePrepare, CvtFileGetsItsLengthInFrontAndMustBeSentWhole) {
    struct Case {
        size_t fileSize;
        const char* refusal;  // nullptr: taken
    };
    // The download sends fileSize / 16384 blocks from the image, which
    // starts 40 bytes into the prefixed data.
    const Case cases[] = {
        {2 * 16384, nullptr},
        {16384 + 40, nullptr},
        {16384 + 41, "leaves the last 1 bytes of its image unsent"},
        {16383, "sends 0 whole 16384-byte block(s)"},
        {40, "holds no image"},
        {kCvtBufferCapacity - 3, "the CVT buffer holds at most 1114112 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileSize);
        test::SPhilipsFile file;
        file.image = test::FillerBytes(c.fileSize - 40, 5);
        file.trailer1 = 0x1234;
        Bytes raw = test::BuildPhilipsFile(file);
        ASSERT_EQ(raw.size(), c.fileSize);
        Bytes data;
        std::string problem = merge::PrepareCvt(raw, data);
        if (c.refusal != nullptr) {
            EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
            continue;
        }
        ASSERT_EQ(problem, "");
        EXPECT_EQ(data, test::WithLengthPrefix(raw));
    }
    Bytes notPhilips = test::BuildPhilipsFile({});
    notPhilips[0] = 'p';
    Bytes data;
    EXPECT_NE(merge::PrepareCvt(notPhilips, data).find("not a Philips-format file"), std::string::npos);
}

TEST(MergePrepare, PackagesAreTakenOnlyWhenTheProgramLoadsThemAsTheyAre) {
    const Bytes v3 = test::BuildV3(test::SamplePackage(0x2000));
    test::SLegacyPackage legacy;
    legacy.banks = {Bytes{0x02, 1, 2, 3}, test::FillerBytes(0x3000, 9)};
    legacy.banks[1][0] = 0x02;  // what every encoded legacy bank decodes to

    // Type 6 leaves the last 8 image bytes out of the sum; those bytes are
    // not zero here, so a sum taken the other way cannot match.
    test::SV3Package mtk5 = test::SamplePackage(0x2000);
    mtk5.atapiFlashType = kAtapiMtk5;
    std::fill(mtk5.banks[0].end() - 8, mtk5.banks[0].end(), uint8_t{0x11});
    test::SV3Package mtk5AllSummed = mtk5;
    mtk5AllSummed.headerCheckSum =
        static_cast<uint16_t>(test::ReferenceSum(test::ImageOf(mtk5), /*leaveOutLast8=*/false));

    test::SV3Package wrongSum = test::SamplePackage(0x2000);
    wrongSum.headerCheckSum = static_cast<uint16_t>(test::ReferenceSum(test::ImageOf(wrongSum), false) + 1);
    test::SV3Package blockOutside = test::SamplePackage(0x2000);
    blockOutside.reserveBlocks.push_back({0x1F00, 0x200});
    test::SV3Package tooLarge;
    tooLarge.maxBankSize = kPackageBufferCapacity;
    tooLarge.banks = {Bytes(kPackageBufferCapacity, 0x5A)};
    test::SV3Package noBanks;

    auto with = [](Bytes bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    auto withLe32 = [](Bytes bytes, size_t at, uint32_t value) {
        test::PutLe32(bytes, at, value);
        return bytes;
    };
    Bytes cutShort(v3.begin(), v3.end() - 1024);
    Bytes trailing = v3;
    trailing.insert(trailing.end(), 16, 0);

    struct Case {
        const char* name;
        Bytes file;
        const char* refusal;  // nullptr: taken as it is
    };
    const Case cases[] = {
        {"version 3", v3, nullptr},
        {"legacy", test::BuildLegacy(legacy), nullptr},
        {"MTK5, sum without the last 8 bytes", test::BuildV3(mtk5), nullptr},
        {"MTK5, sum over every byte", test::BuildV3(mtk5AllSummed), "does not match"},
        {"wrong check sum", test::BuildV3(wrongSum), "does not match"},
        {"last 1 KB missing", cutShort, "the package is cut short"},
        {"bytes behind the package", trailing, "bytes behind the package"},
        {"reserved block past the image, which the program clips", test::BuildV3(blockOutside), nullptr},
        {"bank larger than its slot", withLe32(v3, 40, 0x1000), "do not fit"},
        {"image larger than 64 MiB", withLe32(v3, 40, 0x4000002), "larger than the 64 MiB"},
        {"larger than a package buffer", test::BuildV3(tooLarge), "package buffer 3 holds at most 2162688 bytes"},
        {"no banks", test::BuildV3(noBanks), "empty image"},
        {"format version 4", with(v3, 24, '4'), "unknown package format version '4'"},
        {"no zero behind the magic", with(v3, 16, 'X'), "not a firmware package"},
        {"only a header's start", Bytes(v3.begin(), v3.begin() + 20), "not a firmware package"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data;
        std::string problem = merge::PreparePackage(c.file, Info(BufferId::Package3), data);
        if (c.refusal == nullptr) {
            EXPECT_EQ(problem, "");
            EXPECT_EQ(data, c.file);
        } else {
            EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
        }
    }
}

}  // namespace
}  // namespace jv
