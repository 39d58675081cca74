#pragma once
// Files this process makes itself. The programs run as root, often in a
// folder other users may write to, so a file they make is created new
// (POSIX: O_EXCL and O_NOFOLLOW; Windows: CREATE_NEW, shared with nobody)
// and every byte goes in and comes back through the descriptor (handle)
// that created it. Its name is never opened again: another user who swaps
// the name for a link between two opens would have root write into, or
// read from, a file root did not make.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/Files.h"

namespace jv {

// A file this process created and holds open. Closing it (or destroying
// the object) leaves the file where it is; removing it is the owner's call.
class OwnFile {
public:
    OwnFile() = default;
    ~OwnFile();
    OwnFile(OwnFile&& other) noexcept;
    OwnFile& operator=(OwnFile&& other) noexcept;
    OwnFile(const OwnFile&) = delete;
    OwnFile& operator=(const OwnFile&) = delete;

    // A new file beside target, under a fresh short name of fixed length
    // that is never target itself (see CreateSiblingTemporary), readable and
    // writable, with the permissions a new file gets from fopen. With
    // marked, the name is also marked for removal by a stop request
    // (MarkTemporaryFile), stop requests held from the creation until the
    // mark is made. Not open when none could be made; LastErrorText says why.
    static OwnFile CreateSibling(const std::string& target, bool marked);

    // A file nobody else can reach, for bytes this process keeps to itself
    // for a while. POSIX: made in folder with mkstemp (mode 0600) and its
    // name removed at once, stop requests held in between, so nothing of it
    // is ever left behind. Windows: a fresh name in folder, shared with
    // nobody and deleted by the system when its handle closes (the process's
    // end included). No name either way. Not open when none could be made.
    static OwnFile CreatePrivate(const std::string& folder);

    // A file under a fixed name, made new (a file that has the name is
    // removed first on Windows, where only the fixed name will do) and
    // marked (MarkTemporaryFile). Its owner removes it (Discard).
    static OwnFile CreateFixed(const std::string& name);

    // A new file under exactly this name, for a file the user asked for
    // that grows while the program runs (a trace) and must survive a crash
    // as far as it got: POSIX O_EXCL and O_NOFOLLOW, so nothing that has
    // the name, a link above all, is opened or replaced; Windows CREATE_NEW,
    // which others may read while it is written. Not marked: a stop request
    // leaves it as it is. result says why when it is not open (Exists when
    // something has the name).
    static OwnFile CreateNew(const std::string& name, SNewFile& result);

    bool IsOpen() const;
    // Empty for a file whose name is gone.
    const std::string& Name() const { return name_; }

    // Writes all the bytes at the end of what was written so far.
    bool Append(std::span<const uint8_t> bytes);
    // Fills into from offset; false when the file holds fewer bytes there.
    bool ReadAt(uint64_t offset, std::span<uint8_t> into);
    // The file's length as the system has it.
    std::optional<uint64_t> Size();
    // Back to no bytes at all.
    bool Truncate();
    // What was written is on the medium. Linux also drops the file's pages
    // from the cache, so that a read that follows comes from the medium.
    bool Sync();
    // POSIX: sets the permission bits (set-ID and sticky bits are never
    // given); Windows keeps what the folder gives.
    bool SetMode(uint32_t mode);
    // True while the name still leads to this very file: nobody removed or
    // replaced it since it was made. Always true on Windows, where nobody
    // else may open, rename or delete the file while it is open here.
    bool StillNamed();
    // Removes the file: closes it and removes its name, if the name still
    // leads to this file (what another user put there is not ours), and
    // its mark.
    void Discard();
    // Forgets the name (and its mark) without touching it, for a file that
    // was moved to its place.
    void ReleaseName();
    // Closes the file; false when the system reports an error on closing.
    bool Close();

private:
    intptr_t handle_ = -1;
    std::string name_;
    bool marked_ = false;
};

// How WriteOwnFile puts the file in place.
enum class EPlaceFile : uint8_t {
    // Over what has the name (MoveFileOver), when that is a regular file
    // this process may write, or when nothing has it. A folder, a device or
    // a read-only file in the target's place is kept and the write refused.
    Replace,
    // Only where nothing has the name (MoveFileNew): a file that took it
    // while the bytes were made is never replaced.
    New,
};

struct SOwnFileWrite {
    EPlaceFile place = EPlaceFile::Replace;
    // POSIX permission bits, set through the descriptor; nothing: what a
    // new file gets from fopen (0666 less the process's mask).
    std::optional<uint32_t> mode;
};

// The one way the programs write a file: a marked sibling temporary made by
// OwnFile::CreateSibling, the bytes written through its descriptor, synced,
// read back through it and compared, and only then moved to target's name.
// On any failure the temporary is removed and target is as it was; Ok,
// Exists (EPlaceFile::New only), or Failed with the system's reason, or
// ReadsBackWrong when the bytes did not come back as written. A temporary
// whose name was taken from us before the move is abandoned (never moved,
// never removed) and the write begins again with a new one, a few times.
SNewFile WriteOwnFile(const std::string& target, std::span<const uint8_t> bytes, const SOwnFileWrite& how = {});

// For tests: runs with the temporary's name each time WriteOwnFile has made
// one, before a byte is written, so that a test can do what another user of
// the folder could do there. nullptr removes it.
using OwnFileHook = void (*)(const std::string& temporary);
void SetOwnFileCreatedHookForTest(OwnFileHook hook);

}  // namespace jv
