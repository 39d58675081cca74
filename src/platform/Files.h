#pragma once
// File operations whose behaviour differs between hosts. These are the only
// file-system queries the program makes, kept to calls that every Windows
// from 95 on provides, so the program never needs a newer runtime to load.
#include <cstdint>
#include <optional>
#include <string>

namespace jv {

// Moves tmp over target, replacing a file that is there, in one step: the
// target is either the old file or the new one, never missing or half written.
// Where the system has no such step (Windows 95/98/ME) this falls back to
// MoveFileOverByRenames.
bool MoveFileOver(const std::string& tmp, const std::string& target);

// Replaces target by tmp with plain renames: target goes to a free sibling
// name (see CreateSiblingTemporary), tmp takes its place, and the old file is removed only once that has
// worked. If tmp cannot take the place, the old file is put back. A missing
// target is no error.
bool MoveFileOverByRenames(const std::string& tmp, const std::string& target);

// True when anything at all has the name: a file, a folder, a device or a
// link, even one that leads nowhere. A name that cannot be looked at counts
// as taken, so a caller looking for a free name never picks it.
bool NameIsTaken(const std::string& name);

// True when the name leads to something that exists (links are followed).
bool PathExists(const std::string& name);

// True where file names follow POSIX: an absolute name begins with "/" and
// the case of a name matters. False on Windows, where "/" begins an option.
bool PosixFileNames();

// True when the name is a regular file that this process may write, and so
// a file that a write may replace; false for anything else that is there
// (a folder, a device, a pipe, a read-only file) and for a missing name.
bool MayReplaceFile(const std::string& name);

// Creates a new empty file with a short name of fixed length in the folder
// of target (the name never existed before, so no other writer has it, and
// it is never target itself) and returns its name; empty when none can be
// made. Its length does not depend on target's, so it fits wherever target
// fits. Made with the permissions a new file gets from fopen.
std::string CreateSiblingTemporary(const std::string& target);

// The size of a regular file (links are followed); nothing for a missing
// name, a folder, a device or a file that cannot be examined.
std::optional<uint64_t> RegularFileSize(const std::string& name);

}  // namespace jv
