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

// How creating a file under a name that must be new went, or would go.
enum class ENewFile {
    Ok,      // created, or nothing stands in the way
    Exists,  // something has the name: a file, a folder, a link (even one that leads nowhere)
    Failed,  // the system refused for another reason, given in `reason`
    ReadsBackWrong,  // written, but the bytes did not come back as written (the file was removed)
};
struct SNewFile {
    ENewFile result = ENewFile::Ok;
    std::string reason;  // the system's own text of the error when Failed
};

// Moves tmp to target only when nothing has target's name, in one step, so
// a file that appeared there meanwhile is never replaced: Linux renames
// with RENAME_NOREPLACE, falling back to MoveFileNewByLinks on a file
// system that has no such rename; Windows moves without replacing. tmp
// stays where it was when the move is refused.
SNewFile MoveFileNew(const std::string& tmp, const std::string& target);

// POSIX: links tmp to target (a link refuses an existing name) and then
// removes tmp. Where the file system has no links either, a check of the
// name and a plain rename, which leaves only a short window open.
SNewFile MoveFileNewByLinks(const std::string& tmp, const std::string& target);

// Whether a new file can be made under the name, asked before a long job
// whose result goes there: Exists only when something really has the name;
// a name that cannot be looked at (too long, a folder that may not be
// searched) and a folder that is missing or takes no new file (read-only,
// no permission) are Failed with the system's reason. The folder is tried
// by making and removing a temporary file in it.
SNewFile CheckNewFile(const std::string& name);

// The system's text for the error of the last failed call of this layer
// (errno on POSIX, GetLastError on Windows), without a final full stop.
std::string LastErrorText();

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

// Makes a new empty file with a short name of fixed length in the folder of
// target (OwnFile::CreateSibling), closes it and returns its name; empty
// when none can be made. For a name to hold a place or to probe a folder
// with, never for a file to be written: that is OwnFile's (OwnFile.h).
std::string CreateSiblingTemporary(const std::string& target);

// The folder part of a name, separator included, so that a sibling is this
// prefix and a name of its own; empty for a name in the current folder.
std::string FolderPrefix(const std::string& name);

// A file that is removed if a stop request ends the program before
// UnmarkTemporaryFile: the temporary of a write in progress, an unpacked
// package. The name is kept in a fixed buffer that a signal handler may
// read; a few files may be marked at once, and one that does not fit is not
// marked.
void MarkTemporaryFile(const std::string& name);
void UnmarkTemporaryFile(const std::string& name);
// Removes the marked files. Async-signal-safe on POSIX (unlink only), for
// the stop handlers.
void RemoveMarkedTemporaryFiles();

// The room for new files in the folder of name (a file's name; the current
// folder for a bare name): the bytes still free there for this process (on
// POSIX root may also fill the blocks kept for it), the unit a file takes
// room in, the largest file this process may write (POSIX: its file size
// limit, ulimit -f), and the volume, equal for two folders that share
// their room. Nothing when the folder cannot be asked.
struct SFolderRoom {
    uint64_t freeBytes = 0;
    uint64_t unitBytes = 1;
    uint64_t largestFile = UINT64_MAX;
    std::string volume;
};
std::optional<SFolderRoom> FolderRoom(const std::string& name);

// The size of a regular file (links are followed); nothing for a missing
// name, a folder, a device or a file that cannot be examined.
std::optional<uint64_t> RegularFileSize(const std::string& name);

}  // namespace jv
