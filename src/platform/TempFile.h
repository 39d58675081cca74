#pragma once
// Where an unpacked package file lives between the unpacking and its reading.
#include <string>

namespace jv {

// Makes the file that an archive entry is unpacked to and returns its name;
// empty when no such file can be made. On Windows this is the fixed name
// "c:\temp.ytr" (a stale copy is removed first); elsewhere a new private file
// in $TMPDIR, or /tmp, that nobody else can open.
std::string CreatePackageTempFile();

// Puts the private files into dir instead of $TMPDIR; an empty dir goes back
// to $TMPDIR. The fixed Windows name does not move.
void SetPackageTempDirectory(const std::string& dir);

// Removes the file; a file that is already gone is no error.
void DeletePackageTempFile(const std::string& name);

}  // namespace jv
