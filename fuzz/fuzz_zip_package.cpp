// The zip reader on arbitrary archive bytes: the walk over the central
// directory, the choice of the last file entry, and the streaming of that
// entry into the unpacked file. Beyond the sanitizers, it checks that an
// archive without entries leaves the unpacked file alone and that no entry
// ever unpacks to more than the size limit it was given.
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "package/ZipPackage.h"

namespace {

// The product's limit is kMaxZipEntrySize (64 MiB); a few compressed bytes
// can claim that much, and inflating it would be all an input costs. The
// limit check is the same code whatever the limit.
constexpr uint64_t kEntryLimit = 64 * 1024;
constexpr uint8_t kUntouched[] = {'o', 'l', 'd'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static jv::fuzz::MemoryFile archive("zip-archive");
    static jv::fuzz::MemoryFile unpacked("zip-unpacked");
    archive.Assign(data, size);
    jv::fuzz::ServeArchiveFromMemory(archive.Name(), data, size);
    unpacked.Assign(kUntouched, sizeof kUntouched);

    const uint64_t entries = jv::UnpackLastEntry(archive.Name(), unpacked.Name(), kEntryLimit);
    const long long left = unpacked.Size();
    if (left < 0) std::abort();
    if (entries == 0 && left != static_cast<long long>(sizeof kUntouched)) std::abort();
    if (left > static_cast<long long>(kEntryLimit)) std::abort();
    return 0;
}
