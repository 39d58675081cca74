#pragma once
// Where an unpacked package file lives between the unpacking and its reading.
#include <string>

#include "platform/OwnFile.h"

namespace jv {

// The file an archive entry is unpacked to, written and read only through
// the descriptor (handle) that made it, and gone when this object goes, on
// every path. POSIX: a private file in $TMPDIR, or /tmp, whose name is
// removed as soon as it is made (OwnFile::CreatePrivate). Windows NT: a new
// file in the user's temporary folder, deleted by the system when it is
// closed. Windows 95/98/ME: the fixed name "c:\temp.ytr" (a stale copy is
// removed first), marked for removal by a stop request, as those systems
// have one user and no permissions. File() is not open when no file could
// be made.
class PackageTempFile {
public:
    PackageTempFile();
    ~PackageTempFile();
    PackageTempFile(const PackageTempFile&) = delete;
    PackageTempFile& operator=(const PackageTempFile&) = delete;

    OwnFile& File() { return file_; }

private:
    OwnFile file_;
};

// Puts the private files into dir instead of the system's temporary folder;
// an empty dir goes back to it. The fixed Windows 95/98/ME name does not
// move.
void SetPackageTempDirectory(const std::string& dir);

}  // namespace jv
