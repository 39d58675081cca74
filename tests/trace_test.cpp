// Traces: what the reader refuses, a gzip trace cut short, a trace file that
// never replaces one, a replayed drive's registers and its end, and the
// check sum of hex digits made from the bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "ScratchFolderTest.h"
#include "platform/DriveRoute.h"
#include "sim/ReplaySource.h"
#include "sim/VirtualDrive.h"
#include "trace/GzipLines.h"
#include "trace/TraceReader.h"
#include "trace/TraceWriter.h"

namespace jv::trace {
namespace {

const std::string kHeader =
    R"({"trace":1,"program":"jorvane","version":"1.0.0","os":"Linux","route":"SG_IO","started":"2026-01-01T12:00:00"})"
    "\n";
const std::string kInquiry =
    R"({"seq":1,"us":0,"drive":"/dev/sr0","cdb":"120000002400000000000000","dir":"in","len":36,"status":0,)"
    R"("in":"05800002330000005245434f5244454453494d504c4520445249564520202020312e3233","resid":0,"dur":5})"
    "\n";

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Reads a whole trace; the error of Open or Next, or "" when it reads clean.
std::string ReadError(const std::string& text) {
    TraceReader reader;
    if (!reader.OpenBytes(Bytes(text))) return reader.Error();
    STraceRecord record;
    ENext next;
    while ((next = reader.Next(record)) == ENext::Record) {
    }
    return next == ENext::Error ? reader.Error() : "";
}

// Both ways of summing (folded where the processor can, tables elsewhere)
// against zlib's crc32 over the digits themselves, at lengths around the
// folding's steps and unaligned starts, continued from a running sum.
TEST(HexCrc32, EqualsZlibsCrcOfTheDigits) {
    std::mt19937 random(29);
    std::vector<uint8_t> bytes(4096 + 16);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    std::vector<size_t> lengths = {0, 1, 7, 8, 31, 32, 33, 39, 40, 63, 64, 65, 95, 96, 255, 256, 4096};
    for (int i = 0; i < 40; ++i) lengths.push_back(random() % 4097);
    for (size_t length : lengths) {
        for (size_t offset : {size_t{0}, size_t{1}, size_t{3}, size_t{15}}) {
            const std::span<const uint8_t> part(bytes.data() + offset, length);
            std::string digits;
            AppendHex(digits, part);
            const auto before = static_cast<uint32_t>(random());
            const auto expected = static_cast<uint32_t>(
                crc32(before, reinterpret_cast<const Bytef*>(digits.data()), static_cast<uInt>(digits.size())));
            EXPECT_EQ(HexCrc32(before, part), expected) << "length " << length << ", offset " << offset;
            EXPECT_EQ(HexCrc32Portable(before, part), expected) << "length " << length << ", offset " << offset;
        }
    }
}

TEST(TraceReader, NamesWhatIsWrongWithABadTrace) {
    const struct {
        const char* what;
        std::string text;
        const char* error;
    } cases[] = {
        {"empty", "", "it is empty"},
        {"not a trace", "PK\x03\x04 a zip\n", "it is not a trace"},
        {"another version",
         R"({"trace":2,"program":"x"})"
         "\n",
         "it is a trace of format 2"},
        {"hostile hex",
         kHeader + R"({"seq":1,"us":0,"drive":"a","cdb":"12zz","dir":"none","len":0,"status":0,"dur":0})"
                   "\n",
         "line 2: \"cdb\" is not hex digits"},
        {"more data than room",
         kHeader +
             R"({"seq":1,"us":0,"drive":"a","cdb":"120000000100000000000000","dir":"in","len":1,"status":0,)"
             R"("in":"0102","resid":0,"dur":0})"
             "\n",
         "line 2: \"in\" is not hex digits of at most 1 bytes"},
        {"numbers going back", kHeader + kInquiry + kInquiry, "line 3: record 1 comes after record 1"},
        {"a count of none",
         kHeader + R"({"seq":1,"us":0,"port":"1f7","read":"50","count":0})"
                   "\n",
         "line 2: \"count\" is 0"},
        {"a broken middle line", kHeader + "{\"seq\":1,\n" + kInquiry, "line 2: not a JSON object"},
    };
    for (const auto& c : cases)
        EXPECT_NE(ReadError(c.text).find(c.error), std::string::npos) << c.what << ": " << ReadError(c.text);
    // A last line cut in the middle is what a crash leaves: read up to it.
    TraceReader reader;
    ASSERT_TRUE(reader.OpenBytes(Bytes(kHeader + kInquiry + R"({"seq":2,"us":9,"dri)")));
    STraceRecord record;
    EXPECT_EQ(reader.Next(record), ENext::Record);
    EXPECT_EQ(reader.Next(record), ENext::End);
    EXPECT_TRUE(reader.CutShort());
}

class TraceFile : public testing::ScratchFolderTest {
protected:
    TraceFile() : ScratchFolderTest("jv_trace_") {}
};

// Every command is flushed as it is written: a gzip trace cut anywhere after
// a command still reads up to it, and says it was cut. The commands carry no
// data, data short enough to go as text, and data long enough for blocks of
// the writer's own between stored words, one after another.
TEST_F(TraceFile, AGzipTraceCutShortReadsUpToItsLastWholeRecord) {
    const std::string path = Path("cut.jsonl.gz");
    SNewFile made;
    std::unique_ptr<TraceWriter> writer = TraceWriter::Create(path, made);
    ASSERT_TRUE(writer);
    writer->Header(STraceHeader{1, "jorvane", "1.0.0", "Linux", "SG_IO", "2026-01-01T12:00:00"});
    const uint8_t cdb[12] = {0x00};
    std::vector<uint8_t> data(16384 + 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 167 + (i >> 7));
    const struct {
        uint8_t direction;
        size_t length;
    } commands[] = {{kDirNone, 0}, {kDirOut, 300}, {kDirIn, data.size()}, {kDirOut, 100}, {kDirIn, 257}};
    std::vector<size_t> sizes;
    for (const auto& command : commands) {
        SCommandFields c;
        c.drive = "/dev/sr0";
        c.cdb = cdb;
        c.status = 0;
        c.direction = command.direction;
        c.length = static_cast<uint32_t>(command.length);
        (command.direction == kDirOut ? c.out : c.in) = std::span(data.data(), command.length);
        writer->Command(c);
        sizes.push_back(static_cast<size_t>(std::filesystem::file_size(path)));
    }
    const std::string whole = Get(path);
    for (size_t kept = 0; kept < sizes.size(); ++kept) {
        TraceReader reader;
        ASSERT_TRUE(reader.OpenBytes(Bytes(whole.substr(0, sizes[kept]))));
        STraceRecord record;
        size_t records = 0;
        while (reader.Next(record) == ENext::Record) {
            const auto& command = commands[records];
            const std::vector<uint8_t> expected(data.begin(), data.begin() + static_cast<long>(command.length));
            EXPECT_EQ(command.direction == kDirOut ? record.command.out : record.command.in, expected)
                << "command " << records;
            ++records;
        }
        EXPECT_EQ(records, kept + 1);
        EXPECT_TRUE(reader.CutShort());
        EXPECT_EQ(reader.Error(), "");
    }
    // Closed, it reads whole to its end record (and gives zlib back its
    // memory, which the sanitizer build checks).
    writer->Close(99);
    TraceReader reader;
    ASSERT_TRUE(reader.Open(path));
    STraceRecord record;
    size_t records = 0;
    while (reader.Next(record) == ENext::Record) ++records;
    EXPECT_EQ(records, std::size(commands) + 1);
    EXPECT_EQ(record.kind, ERecordKind::End);
    EXPECT_FALSE(reader.CutShort());
}

TEST_F(TraceFile, ATraceNeverReplacesAFile) {
    const std::string path = Path("mine.jsonl");
    Put(path, "keep me");
    SNewFile made;
    EXPECT_FALSE(TraceWriter::Create(path, made));
    EXPECT_EQ(made.result, ENewFile::Exists);
    EXPECT_EQ(Get(path), "keep me");
}

// The replayed drive: its identity from the recorded INQUIRY, register runs
// answered access by access, and after the trace's end a floating bus and
// CHECK CONDITION.
TEST_F(TraceFile, AReplayedDriveAnswersAsRecordedAndFailsPastTheEnd) {
    const std::string path = Path("drive.jsonl");
    Put(path, kHeader + kInquiry +
                  R"({"seq":2,"us":6,"claim":"1f0","ports":8})"
                  "\n" +
                  R"({"seq":3,"us":7,"port":"1f7","write":"a1"})"
                  "\n" +
                  R"({"seq":4,"us":8,"port":"1f7","read":"d0","count":2})"
                  "\n" +
                  R"({"seq":5,"us":9,"port":"1f0","read16":"8580"})"
                  "\n");
    sim::SDriveConfig config;
    std::string error;
    std::unique_ptr<sim::ReplaySource> replay = sim::OpenReplay(path, config, error);
    ASSERT_TRUE(replay) << error;
    EXPECT_EQ(config.vendor, "RECORDED");
    EXPECT_EQ(config.product, "SIMPLE DRIVE");
    EXPECT_EQ(config.revision, "1.23");

    const uint8_t inquiry[12] = {0x12, 0, 0, 0, 36};
    uint8_t data[36] = {};
    sim::SSense sense{};
    const sim::SCommandOutcome answer = replay->Command(inquiry, kDirIn, data, sizeof data, sense);
    EXPECT_EQ(answer.scsiStatus, 0);
    EXPECT_EQ(answer.transferred, 36u);
    EXPECT_EQ(data[8], 'R');
    replay->Write(0x1F7, 0xA1);
    EXPECT_EQ(replay->Read(0x1F7), 0xD0);
    EXPECT_EQ(replay->Read(0x1F7), 0xD0);
    EXPECT_EQ(replay->Read16(0x1F0), 0x8580);
    EXPECT_EQ(replay->Read(0x1F7), 0xFF);  // past the end
    const sim::SCommandOutcome after = replay->Command(inquiry, kDirIn, data, sizeof data, sense);
    EXPECT_EQ(after.scsiStatus, sim::kStatusCheckCondition);
    EXPECT_EQ(sense.bytes[2], 0x04);
}

}  // namespace
}  // namespace jv::trace
