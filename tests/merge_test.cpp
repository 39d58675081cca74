#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MergeCore.h"
#include "PackageBuilder.h"

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
    EXPECT_NE(merge::FindRecord(truncated, cvt).error.find("not a built jorvane program"), std::string::npos);
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

TEST(MergePrepare, SettingsTextIsTakenAsGivenAndEndedByAZeroByte) {
    Bytes data;
    const std::string text = "[Main]\r\nUpdater=1\nodd line\r\n";
    ASSERT_EQ(merge::PrepareSettings(Bytes(text.begin(), text.end()), data), "");
    Bytes expected(text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(data, expected);

    // A zero byte already at the end is fine; text behind one is not.
    Bytes ended(text.begin(), text.end());
    ended.push_back(0);
    ASSERT_EQ(merge::PrepareSettings(ended, data), "");
    EXPECT_EQ(data, expected);
    Bytes hidden = {'a', '=', '1', 0, 'b', '=', '2'};
    EXPECT_NE(merge::PrepareSettings(hidden, data).find("zero byte at offset 3"), std::string::npos);

    // The ending zero byte must fit: a text of exactly the capacity does not.
    Bytes full(kParameterBufferCapacity, 'x');
    ASSERT_EQ(merge::PrepareSettings(full, data), "");
    SFakeProgram program = MakeFakeProgram();
    EXPECT_NE(merge::FillRecord(program.file, Info(BufferId::Parameter), data), "");
}

TEST(MergePrepare, CvtFileGetsItsBigEndianLengthInFront) {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(0x1234, 5);
    Bytes raw = test::BuildPhilipsFile(file);
    Bytes data;
    ASSERT_EQ(merge::PrepareCvt(raw, data), "");
    ASSERT_EQ(data.size(), raw.size() + 4);
    auto length = static_cast<uint32_t>(raw.size());
    EXPECT_EQ(data[0], static_cast<uint8_t>(length >> 24));
    EXPECT_EQ(data[1], static_cast<uint8_t>(length >> 16));
    EXPECT_EQ(data[2], static_cast<uint8_t>(length >> 8));
    EXPECT_EQ(data[3], static_cast<uint8_t>(length));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data.begin() + 4));
    EXPECT_EQ(test::WithLengthPrefix(raw), data);

    Bytes notPhilips = raw;
    notPhilips[0] = 'p';
    EXPECT_NE(merge::PrepareCvt(notPhilips, data), "");
    test::SPhilipsFile empty;
    EXPECT_NE(merge::PrepareCvt(test::BuildPhilipsFile(empty), data).find("holds no image"), std::string::npos);
}

TEST(MergePrepare, OnlyFirmwarePackagesGoIntoPackageBuffers) {
    Bytes data;
    Bytes v3 = test::BuildV3(test::SamplePackage(0x2000));
    ASSERT_EQ(merge::PreparePackage(v3, data), "");
    EXPECT_EQ(data, v3);
    test::SLegacyPackage legacy;
    legacy.banks = {Bytes{0x02, 1, 2, 3}};
    EXPECT_EQ(merge::PreparePackage(test::BuildLegacy(legacy), data), "");

    Bytes wrongVersion = v3;
    wrongVersion[24] = '4';
    EXPECT_NE(merge::PreparePackage(wrongVersion, data), "");
    Bytes noZero = v3;
    noZero[16] = 'X';
    EXPECT_NE(merge::PreparePackage(noZero, data), "");
    EXPECT_NE(merge::PreparePackage(Bytes(v3.begin(), v3.begin() + 20), data), "");
}

}  // namespace
}  // namespace jv
