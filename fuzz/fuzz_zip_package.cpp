// The zip reader on arbitrary archive bytes: the walk over the central
// directory, the choice of the last file entry, and the streaming of that
// entry into the unpacked file. Beyond the sanitizers, it checks that an
// archive without entries leaves the unpacked file alone and that no entry
// ever unpacks to more than the size limit it was given.
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "FuzzSupport.h"
#include "package/ZipPackage.h"
#include "platform/OwnFile.h"

namespace {

// The product's limit is kMaxZipEntrySize (64 MiB); a few compressed bytes
// can claim that much, and inflating it would be all an input costs. The
// limit check is the same code whatever the limit.
constexpr uint64_t kEntryLimit = 64 * 1024;
constexpr uint8_t kUntouched[] = {'o', 'l', 'd'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static jv::fuzz::MemoryFile archive("zip-archive");
    // The unpacked file is made as the reader makes it: nameless, reached
    // only through its descriptor.
    static jv::fuzz::ScratchFolder folder("zip-unpacked");
    static jv::OwnFile unpacked = jv::OwnFile::CreatePrivate(folder.Path().string());
    archive.Assign(data, size);
    jv::fuzz::ServeArchiveFromMemory(archive.Name(), data, size);
    if (!unpacked.Truncate() || !unpacked.Append(kUntouched)) std::abort();

    const uint64_t entries = jv::UnpackLastEntry(archive.Name(), unpacked, kEntryLimit);
    const std::optional<uint64_t> left = unpacked.Size();
    if (!left) std::abort();
    if (entries == 0 && *left != sizeof kUntouched) std::abort();
    if (*left > kEntryLimit) std::abort();
    return 0;
}
