#include "MergeCore.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "package/Firmware.h"
#include "package/Ytr.h"
#include "platform/Console.h"

namespace jv::merge {

namespace {

constexpr std::string_view kPhilips = "Philips";
// The loader's image of a Philips-format file starts behind a 36-byte
// identification text and ends before a 4-byte trailer.
constexpr size_t kPhilipsOverhead = 40;
// The download of a Philips-format image goes in blocks of this size.
constexpr size_t kDownloadBlock = 16384;

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

std::string TooLarge(const SBufferRecordInfo& record, size_t size) {
    return RecordLabel(record) + " holds at most " + std::to_string(record.capacity) + " bytes; " +
           std::to_string(size) + " bytes do not fit";
}

}  // namespace

std::string RecordLabel(const SBufferRecordInfo& record) {
    switch (record.id) {
        case BufferId::Package1: return "package buffer 1";
        case BufferId::Package2: return "package buffer 2";
        case BufferId::Package3: return "package buffer 3";
        case BufferId::Parameter: return "the parameter buffer";
        case BufferId::Cvt: return "the CVT buffer";
    }
    return "an unknown buffer";
}

const SBufferRecordInfo* RecordByName(const std::string& name) {
    BufferId id;
    if (name == "1") id = BufferId::Package1;
    else if (name == "2") id = BufferId::Package2;
    else if (name == "3") id = BufferId::Package3;
    else if (name == "settings") id = BufferId::Parameter;
    else if (name == "cvt") id = BufferId::Cvt;
    else return nullptr;
    for (const auto& record : kBufferRecords)
        if (record.id == id) return &record;
    return nullptr;
}

SRecordPlace FindRecord(std::span<const uint8_t> file, const SBufferRecordInfo& record) {
    const auto* markerBegin = reinterpret_cast<const uint8_t*>(record.marker.data());
    const auto* markerEnd = markerBegin + record.marker.size();
    const size_t d = record.marker.size() + 4;
    const std::boyer_moore_horspool_searcher searcher(markerBegin, markerEnd);

    SRecordPlace place;
    int found = 0;
    auto from = file.begin();
    for (;;) {
        auto hit = std::search(from, file.end(), searcher);
        if (hit == file.end()) break;
        from = hit + 1;
        auto at = static_cast<size_t>(hit - file.begin());
        // The marker also stands elsewhere in the program (the end markers,
        // the program's own table of markers): only the record's header has
        // the offset byte before it and the capacity after it, and a data
        // area that the file holds in full.
        if (at == 0 || file[at - 1] != static_cast<uint8_t>(d)) continue;
        if (at + record.marker.size() + 4 > file.size()) continue;
        if (ReadLe32(&file[at + record.marker.size()]) != record.capacity) continue;
        if (at + d + record.capacity > file.size()) continue;
        place.dataOffset = at + d;
        ++found;
    }
    if (found == 0) {
        place.error = "no record of " + RecordLabel(record) + " (marker \"" + std::string(record.marker) +
                      "\") found: only a built updater (jorvane, jorvane-sim or jorvane.exe) carries "
                      "buffers; the backup and verify programs carry none";
    } else if (found > 1) {
        place.error = "the record of " + RecordLabel(record) + " (marker \"" + std::string(record.marker) +
                      "\") stands " + std::to_string(found) + " times; cannot tell which to fill";
    }
    return place;
}

std::string PreparePackage(std::span<const uint8_t> content, const SBufferRecordInfo& buffer,
                           std::vector<uint8_t>& data) {
    if (content.size() < 25 || std::memcmp(content.data(), kYtrMagic.data(), kYtrMagic.size()) != 0)
        return "not a firmware package (it does not begin with \"ZERV FILE SYSTEM\")";
    char version = static_cast<char>(content[24]);
    if (version != ' ' && version != '1' && version != '2' && version != '3')
        return std::string("unknown package format version '") + version + "'";
    if (content.size() > buffer.capacity) return TooLarge(buffer, content.size());

    // What the program will find in the buffer: the package, then zeros. A
    // package cut short would load with zeros in place of its missing bytes.
    std::vector<uint8_t> area(buffer.capacity, 0);
    std::copy(content.begin(), content.end(), area.begin());
    // An image over the loader's cap is refused for its size, which the
    // packager can act on, not for tables that seem not to fit.
    if (version == '3' && area.size() >= 44) {
        const uint64_t imageSize = uint64_t{ReadLe32(&area[36])} * ReadLe32(&area[40]);
        if (imageSize > kMaxImageSize)
            return "its header describes an image of " + std::to_string(imageSize) +
                   " bytes, larger than the 64 MiB (" +
                   std::to_string(kMaxImageSize) + " bytes) the program loads";
    }
    const uint32_t claimed = GetYtrLength(area);
    if (claimed == 0)
        return "its header describes tables or banks that do not fit " + RecordLabel(buffer) + " (" +
               std::to_string(buffer.capacity) + " bytes) or their slots in the image; the program cannot load it";
    if (claimed != content.size())
        return "its header claims " + std::to_string(claimed) + " bytes but the file holds " +
               std::to_string(content.size()) +
               (claimed > content.size() ? " (the package is cut short)" : " (bytes behind the package)");
    const uint32_t imageSize = GetImageSize(area);
    if (imageSize == 0) return "its header describes an empty image (no banks, or a bank size of 0)";

    SYTRParameter record;
    std::vector<uint8_t> image(imageSize, 0);
    if (!LoadYtr(area, record, image)) return "the program's loader refuses it";
    const auto sum = static_cast<uint16_t>(CalcCheckSum(image, record));
    if (sum != record.HeaderCheckSum) {
        std::string text = Format("its header check sum %04Xh does not match its decoded image, which sums to %04Xh",
                                  record.HeaderCheckSum, sum);
        if (record.AtapiFlashType == kAtapiMtk5) text += " (ATAPI flash type MTK5 Type: the last 8 bytes left out)";
        return text;
    }
    data.assign(content.begin(), content.end());
    return {};
}

std::string PrepareSettings(std::span<const uint8_t> content, std::vector<uint8_t>& data,
                            size_t& convertedLineEnds) {
    convertedLineEnds = 0;
    // The program reads the text up to its first zero byte; text behind a
    // zero byte would be silently lost, so it is refused here.
    auto zero = std::find(content.begin(), content.end(), uint8_t{0});
    if (std::any_of(zero, content.end(), [](uint8_t b) { return b != 0; }))
        return "the settings text has a zero byte at offset " + std::to_string(zero - content.begin()) +
               "; the program would stop reading there";
    data.clear();
    data.reserve(static_cast<size_t>(zero - content.begin()) + 1);
    for (auto at = content.begin(); at != zero; ++at) {
        // A text written on Linux would otherwise be one long line, and every
        // setting in it lost without a word.
        if (*at == '\n' && (at == content.begin() || at[-1] != '\r')) {
            data.push_back('\r');
            ++convertedLineEnds;
        }
        data.push_back(*at);
    }
    // Ended by a zero byte, which must fit as well.
    data.push_back(0);
    return {};
}

std::string PrepareCvt(std::span<const uint8_t> content, std::vector<uint8_t>& data) {
    if (content.size() < kPhilips.size() || std::memcmp(content.data(), kPhilips.data(), kPhilips.size()) != 0)
        return "not a Philips-format file (it does not begin with \"Philips\")";
    if (content.size() <= kPhilipsOverhead)
        return "the Philips-format file is " + std::to_string(content.size()) +
               " bytes long and holds no image (more than 40 bytes are needed)";
    if (content.size() + 4 > kCvtBufferCapacity)
        return "with its 4-byte length in front, " + TooLarge(*RecordByName("cvt"), content.size() + 4);
    // The download sends as many whole blocks as the file's length holds,
    // starting at the image: what lies beyond them never reaches the drive,
    // and the drive would be left with part of a firmware.
    const size_t imageSize = content.size() - kPhilipsOverhead;
    const size_t sent = content.size() / kDownloadBlock * kDownloadBlock;
    if (imageSize > sent)
        return "the download sends " + std::to_string(content.size() / kDownloadBlock) + " whole " +
               std::to_string(kDownloadBlock) + "-byte block(s) for a file of " + std::to_string(content.size()) +
               " bytes, which leaves the last " + std::to_string(imageSize - sent) + " bytes of its image unsent";

    auto length = static_cast<uint32_t>(content.size());
    std::vector<uint8_t> prefixed;
    prefixed.reserve(content.size() + 4);
    prefixed.push_back(static_cast<uint8_t>(length >> 24));
    prefixed.push_back(static_cast<uint8_t>(length >> 16));
    prefixed.push_back(static_cast<uint8_t>(length >> 8));
    prefixed.push_back(static_cast<uint8_t>(length));
    prefixed.insert(prefixed.end(), content.begin(), content.end());

    // Loaded as the program loads the CVT buffer, from the data area it will see.
    std::vector<uint8_t> area(kCvtBufferCapacity, 0);
    std::copy(prefixed.begin(), prefixed.end(), area.begin());
    const uint32_t claimed = GetImageSize(area);
    if (!IsPhilipsImage(area) || claimed != length) return "the program's loader finds no image in it";
    SYTRParameter record;
    std::vector<uint8_t> image(claimed - kPhilipsOverhead, 0);
    if (!LoadPhilipsImage(area, record, image)) return "the program's loader refuses it";
    data = std::move(prefixed);
    return {};
}

std::string FillRecord(std::vector<uint8_t>& file, const SBufferRecordInfo& record, std::span<const uint8_t> data) {
    if (data.size() > record.capacity) return TooLarge(record, data.size());
    SRecordPlace place = FindRecord(file, record);
    if (!place.error.empty()) return place.error;
    auto area = std::span(file).subspan(place.dataOffset, record.capacity);
    std::copy(data.begin(), data.end(), area.begin());
    std::fill(area.begin() + static_cast<std::ptrdiff_t>(data.size()), area.end(), uint8_t{0});
    return {};
}

}  // namespace jv::merge
