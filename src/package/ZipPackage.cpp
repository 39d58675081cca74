#include "package/ZipPackage.h"

#include <unzip.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "platform/ByteOrder.h"
#include "platform/Console.h"
#include "platform/OwnFile.h"
#include "platform/TempFile.h"
#include "util/Tool.h"

namespace jv {

namespace {

constexpr const char* kLengthFail = "Get YTR File Length Fail !\n";
constexpr const char* kReadFail = "ReadFileBinary Fail !\n";
constexpr const char* kNotValid = "Not Valid YTR !\n";

// Loadable content begins with the package magic or with the name a
// Philips-format file begins with.
constexpr std::string_view kPhilipsName{"Philips"};

bool BeginsWith(std::span<const uint8_t> bytes, std::string_view text) {
    return bytes.size() >= text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

struct UnzCloser {
    void operator()(void* archive) const { unzClose(archive); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

bool IsDirectoryName(const std::vector<char>& name, uLong length) {
    if (length == 0) return false;
    char last = name[length - 1];
    return last == '/' || last == '\\';
}

// Streams the current entry into out. The count is checked as the bytes
// arrive: the sizes in the archive's directory are only claims. The entry
// must give exactly the size it declares: minizip checks the CRC only once
// that many bytes have come, so an entry whose data ends early would pass
// unchecked.
bool CopyCurrentEntry(unzFile archive, OwnFile& out, uint64_t declared, uint64_t maxEntrySize) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) return false;
    std::vector<uint8_t> chunk(64 * 1024);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        int n = unzReadCurrentFile(archive, chunk.data(), static_cast<unsigned>(chunk.size()));
        if (n == 0) break;
        if (n < 0) {
            ok = false;
            break;
        }
        total += static_cast<uint64_t>(n);
        if (total > maxEntrySize || !out.Append(std::span(chunk).first(static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    if (total != declared) ok = false;
    // Reports a CRC mismatch once the whole entry has been read.
    if (unzCloseCurrentFile(archive) != UNZ_OK) ok = false;
    return ok;
}

}  // namespace

uint64_t UnpackLastEntry(const std::string& archiveName, OwnFile& target, uint64_t maxEntrySize) {
    UnzHandle archive(unzOpen64(archiveName.c_str()));
    if (!archive) return 0;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive.get(), &global) != UNZ_OK || global.number_entry == 0) return 0;

    // Every entry would replace the unpacked file in turn, so only the last
    // one that is a file decides what the file holds: unpack just that one.
    // A zip bomb of many large entries then costs one entry's time.
    std::vector<char> name(0x10000 + 1);
    bool found = false;
    unz64_file_pos lastFile{};
    unz_file_info64 lastInfo{};
    int step = unzGoToFirstFile(archive.get());
    for (uint64_t i = 0; i < global.number_entry && step == UNZ_OK; ++i) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(archive.get(), &info, name.data(), static_cast<uLong>(name.size() - 1),
                                    nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        uLong nameLength = std::min<uLong>(info.size_filename, static_cast<uLong>(name.size() - 1));
        if (!IsDirectoryName(name, nameLength)) {
            unzGetFilePos64(archive.get(), &lastFile);
            lastInfo = info;
            found = true;
        }
        step = unzGoToNextFile(archive.get());
    }

    if (!target.IsOpen()) return global.number_entry;
    // Every entry would replace what the file holds.
    bool ok = target.Truncate() && found;

    // Entries that need a password are refused: without one minizip would
    // hand back the encrypted bytes.
    ok = ok && (lastInfo.flag & 1u) == 0 && lastInfo.uncompressed_size <= maxEntrySize &&
         unzGoToFilePos64(archive.get(), &lastFile) == UNZ_OK &&
         CopyCurrentEntry(archive.get(), target, lastInfo.uncompressed_size, maxEntrySize);
    // Never leave a partial entry behind to be taken for a package.
    if (!ok) target.Truncate();
    return global.number_entry;
}

namespace {

constexpr size_t kVersionAt = 24;
constexpr size_t kLegacySizeFieldsEnd = 36;  // the bank count at 34
constexpr size_t kV3SizeFieldsEnd = 44;      // bank count and stride at 36 and 40

// Whether content that is no package holds an image size of 0 where a
// header keeps it: the loader reads that size before it looks at the magic,
// and 0 is a length failure. Content too short to hold those fields has no
// header at all, and one that reads as a Philips image has its size
// elsewhere; any other size is no package either, and fails to load.
bool ZeroImageSizeField(std::span<const uint8_t> head) {
    const auto zero = [&](size_t from, size_t to) {
        return std::all_of(head.begin() + static_cast<std::ptrdiff_t>(from),
                           head.begin() + static_cast<std::ptrdiff_t>(to), [](uint8_t b) { return b == 0; });
    };
    if (IsPhilipsImage(head) || head.size() < kLegacySizeFieldsEnd) return false;
    if (head[kVersionAt] != '3') return zero(34, kLegacySizeFieldsEnd);
    return head.size() >= kV3SizeFieldsEnd && (zero(36, 40) || zero(40, kV3SizeFieldsEnd));
}

// A file to read a package from: its length (0 when it has none or cannot
// be read) and a read of its first bytes that fails when it holds fewer.
struct SPackageSource {
    uint32_t size = 0;
    std::function<bool(std::span<uint8_t>)> readFirst;
};

SPackageSource NamedSource(const std::string& name) {
    return {GetFileLength(name), [&name](std::span<uint8_t> into) {
                return ReadFileBinary(name, static_cast<uint32_t>(into.size()), into.data());
            }};
}

// The unpacked entry, only ever reached through the descriptor that made it.
SPackageSource UnpackedSource(OwnFile& file) {
    const uint64_t size = file.Size().value_or(0);
    return {static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX)),
            [&file](std::span<uint8_t> into) { return file.ReadAt(0, into); }};
}

// Reads the whole file; prints the failure text itself. Content that is no
// package at all is told so by its first bytes before it is read whole, so a
// large file of something else costs no more than them.
bool ReadPackageBytes(const SPackageSource& source, std::vector<uint8_t>& content, const std::string& loadFailText) {
    const uint32_t size = source.size;
    if (size == 0) {
        Print("%s", kLengthFail);
        return false;
    }
    std::array<uint8_t, kV3SizeFieldsEnd> head{};
    const uint32_t headSize = std::min<uint32_t>(size, static_cast<uint32_t>(head.size()));
    if (!source.readFirst(std::span(head).first(headSize))) {
        Print("%s", kReadFail);
        return false;
    }
    const auto first = std::span<const uint8_t>(head).first(headSize);
    if (!BeginsWith(first, kYtrMagic) && !BeginsWith(first, kPhilipsName)) {
        if (ZeroImageSizeField(first)) {
            Print("%s", kLengthFail);
        } else {
            Print("%s\n", loadFailText.c_str());
        }
        return false;
    }
    if (size > kMaxPackageFileSize) {
        Print("%s", kLengthFail);
        return false;
    }
    content.assign(size, 0);
    if (!source.readFirst(content)) {
        Print("%s", kReadFail);
        return false;
    }
    return true;
}

}  // namespace

bool LoadPackageFile(const std::string& fileName, SPackageFile& package, const std::string& loadFailText) {
    uint32_t size = GetFileLength(fileName);
    if (size == 0) {
        Print("%s", kLengthFail);
        return false;
    }
    // Only the first two bytes decide between a package and an archive.
    std::array<uint8_t, 2> head{};
    if (!ReadFileBinary(fileName, std::min<uint32_t>(size, 2), head.data())) {
        Print("%s", kReadFail);
        return false;
    }
    bool zipped = !(size >= 2 && head[0] == 'Z' && head[1] == 'E');

    std::vector<uint8_t> content;
    if (zipped) {
        PackageTempFile unpacked;
        // With no temporary file nothing is unpacked, and it then fails as a
        // file without length.
        if (UnpackLastEntry(fileName, unpacked.File(), kMaxZipEntrySize) == 0) {
            Print("%s", kNotValid);
            return false;
        }
        if (!ReadPackageBytes(UnpackedSource(unpacked.File()), content, loadFailText)) return false;
        // The unpacked file goes here; the content is in memory.
    } else if (!ReadPackageBytes(NamedSource(fileName), content, loadFailText)) {
        return false;
    }

    uint32_t imageSize = 0;
    if (BeginsWith(content, kPhilipsName)) {
        // The loader takes a Philips-format image behind its 4-byte
        // big-endian length, as the CVT buffer holds it.
        auto length = static_cast<uint32_t>(content.size());
        std::vector<uint8_t> prefixed(content.size() + 4);
        PutBe32(prefixed, 0, length);
        std::copy(content.begin(), content.end(), prefixed.begin() + 4);
        content = std::move(prefixed);
        package.philips = true;
        uint32_t total = GetImageSize(content);
        imageSize = total >= 40 ? total - 40 : 0;
    } else {
        package.philips = false;
        imageSize = GetImageSize(content);
    }
    if (imageSize == 0) {
        Print("%s", kLengthFail);
        return false;
    }

    // Content that holds no whole package cannot load: refuse it before a
    // lying header makes us allocate its image.
    bool loadable = package.philips || GetYtrLength(content) != 0;
    if (loadable) package.image.assign(imageSize, 0);
    bool loaded = loadable && LoadYtr(content, package.header, package.image);
    content.clear();
    content.shrink_to_fit();
    if (!loaded) {
        Print("%s\n", loadFailText.c_str());
        package.image.clear();
        package.image.shrink_to_fit();
        return false;
    }
    return true;
}

}  // namespace jv
