#pragma once
// Reading the package file named on the command line: a package as it is,
// or a zip archive whose last file entry is the package (or a Philips-format
// image, which is accepted only from inside an archive).
#include <cstdint>
#include <string>
#include <vector>

#include "package/Ytr.h"
#include "platform/OwnFile.h"

namespace jv {

// An archive entry larger than this, uncompressed, is never unpacked: no
// package comes near it, and it keeps a hostile archive from filling the disk.
inline constexpr uint64_t kMaxZipEntrySize = 64ull * 1024 * 1024;

// A package file larger than this cannot hold a loadable package.
inline constexpr uint32_t kMaxPackageFileSize = 2 * kMaxImageSize;

// What LoadPackageFile leaves for the update run.
struct SPackageFile {
    SYTRParameter header;
    std::vector<uint8_t> image;
    bool philips = false;  // a Philips-format image: flashed by the vendor download
};

// Reads, unpacks when needed, and loads the package file into package (whose
// header the caller may have preset; the loader overwrites only what it sets).
// On failure the failure text has been printed ("Get YTR File Length Fail !\n",
// "ReadFileBinary Fail !\n", "Not Valid YTR !\n", or loadFailText as "%s\n"
// for content that does not begin as a package or a Philips-format image, or
// does not load; content of either kind whose image size reads 0 is a length
// failure) and false is returned. The caller's loadFailText is its
// "Load YTR Fail!" (empty when silent). The unpacked temporary file is gone
// on every path.
bool LoadPackageFile(const std::string& fileName, SPackageFile& package, const std::string& loadFailText);

// The archive side of LoadPackageFile, open for tests. Returns the number of
// entries of the archive (0 when it cannot be opened, and target is then
// untouched). When there are any, target (written only through its
// descriptor) receives the content of the archive's last entry that is not
// a directory; it is left empty when that entry cannot be unpacked: it needs
// a password, is larger than maxEntrySize, gives more or fewer bytes than it
// declares, or fails its CRC.
uint64_t UnpackLastEntry(const std::string& archive, OwnFile& target, uint64_t maxEntrySize);

}  // namespace jv
