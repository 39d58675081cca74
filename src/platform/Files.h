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
// name, tmp takes its place, and the old file is removed only once that has
// worked. If tmp cannot take the place, the old file is put back. A missing
// target is no error.
bool MoveFileOverByRenames(const std::string& tmp, const std::string& target);

// True when anything at all has the name: a file, a folder, a device or a
// link, even one that leads nowhere. A name that cannot be looked at counts
// as taken, so a caller looking for a free name never picks it.
bool NameIsTaken(const std::string& name);

// True when the name leads to something that exists (links are followed).
bool PathExists(const std::string& name);

// The size of a regular file (links are followed); nothing for a missing
// name, a folder, a device or a file that cannot be examined.
std::optional<uint64_t> RegularFileSize(const std::string& name);

}  // namespace jv
