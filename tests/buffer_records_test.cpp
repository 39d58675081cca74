#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "package/BufferRecords.h"

namespace jv {
namespace {

std::string CapacityBytes(uint32_t capacity) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((capacity >> (8 * i)) & 0xFF);
    return bytes;
}

std::string_view EndMarkersAfter(BufferId id) {
    switch (id) {
        case BufferId::Package3:
            return std::string_view("YTR3 FILE BUFFERYTR3 FILE BUFFER2YTR3 FILE BUFFER3\0", 51);
        case BufferId::Parameter:
            return "PARAMETER BUFFER";
        case BufferId::Cvt:
            return "CVT FILE BUFFER";
        default:
            return {};
    }
}

bool AllZero(const uint8_t* first, size_t count) {
    return std::all_of(first, first + count, [](uint8_t b) { return b == 0; });
}

TEST(BufferRecords, DataIsFoundBehindTheMarkerThroughTheOffsetByte) {
    for (const SBufferRecordInfo& info : kBufferRecords) {
        SCOPED_TRACE(std::string(info.marker));
        EXPECT_EQ(BufferRecordInfo(info.id).id, info.id);
        std::span<uint8_t> data = EmbeddedBuffer(info.id);
        ASSERT_EQ(data.size(), info.capacity);
        const size_t d = info.marker.size() + 4;
        const uint8_t* marker = data.data() - d;
        EXPECT_EQ(marker[-1], d);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(marker), info.marker.size()), info.marker);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()) - 4, 4), CapacityBytes(info.capacity));
        EXPECT_TRUE(AllZero(data.data(), data.size()));
        std::string_view end = EndMarkersAfter(info.id);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(data.data() + data.size()), end.size()), end);
    }
}

TEST(BufferRecords, PackageRecordsFollowOneAnotherDirectly) {
    const uint8_t* end1 = PackageBuffer(1).data() + kPackageBufferCapacity;
    const uint8_t* end2 = PackageBuffer(2).data() + kPackageBufferCapacity;
    EXPECT_EQ(PackageBuffer(2).data(), end1 + 1 + 21);
    EXPECT_EQ(PackageBuffer(3).data(), end2 + 1 + 21);
    EXPECT_EQ(PackageBuffer(2).data(), EmbeddedBuffer(BufferId::Package2).data());
    EXPECT_TRUE(PackageBuffer(0).empty());
    EXPECT_TRUE(PackageBuffer(4).empty());
    EXPECT_TRUE(PackageBuffer(-1).empty());
}

// What a merge tool sees: every record once in the program file, with its
// offset byte and capacity around the marker and a zero data area behind it.
class ProgramFileRecords : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramFileRecords, EachRecordStandsOnceWithAZeroDataArea) {
    const std::filesystem::path path = std::filesystem::path(JV_BINARY_DIR) / GetParam();
    if (!std::filesystem::is_regular_file(path)) GTEST_SKIP() << path << " is not built";
    std::ifstream in(path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(file.empty());

    size_t previousDataEnd = 0;
    for (const SBufferRecordInfo& info : kBufferRecords) {
        SCOPED_TRACE(std::string(info.marker));
        const size_t d = info.marker.size() + 4;
        const std::string capacity = CapacityBytes(info.capacity);
        std::vector<size_t> records;
        for (size_t at = file.find(info.marker, 1); at != std::string::npos; at = file.find(info.marker, at + 1)) {
            if (static_cast<uint8_t>(file[at - 1]) == d && file.compare(at + info.marker.size(), 4, capacity) == 0)
                records.push_back(at);
        }
        ASSERT_EQ(records.size(), 1u);
        const size_t data = records[0] + d;
        ASSERT_LE(data + info.capacity, file.size());
        EXPECT_TRUE(AllZero(reinterpret_cast<const uint8_t*>(file.data()) + data, info.capacity));
        std::string_view end = EndMarkersAfter(info.id);
        EXPECT_EQ(std::string_view(file).substr(data + info.capacity, end.size()), end);
        if (info.id == BufferId::Package2 || info.id == BufferId::Package3) {
            EXPECT_EQ(records[0] - 1, previousDataEnd);
        }
        previousDataEnd = data + info.capacity;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramFileRecords, ::testing::Values("jorvane", "jorvane-sim", "jorvane.exe"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

}  // namespace
}  // namespace jv
