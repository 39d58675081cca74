#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "ScratchFolderTest.h"
#include "platform/Files.h"
#include "platform/OwnFile.h"
#include "util/Tool.h"

namespace jv {
namespace {

namespace fs = std::filesystem;

class FileCalls : public testing::ScratchFolderTest {
protected:
    FileCalls() : ScratchFolderTest("jv_files_") {}
};

TEST_F(FileCalls, QueriesTellFilesFoldersAndMissingNamesApart) {
    Put(Path("f"), "12345");
    fs::create_directory(Path("d"));

    EXPECT_TRUE(NameIsTaken(Path("f")));
    EXPECT_TRUE(NameIsTaken(Path("d")));
    EXPECT_FALSE(NameIsTaken(Path("missing")));
    // A name below a folder that is not there is free, not an error.
    EXPECT_FALSE(NameIsTaken(Path("nowhere/x")));

    EXPECT_TRUE(PathExists(Path("f")));
    EXPECT_TRUE(PathExists(Path("d")));
    EXPECT_FALSE(PathExists(Path("missing")));
    EXPECT_FALSE(PathExists(""));

    EXPECT_EQ(RegularFileSize(Path("f")), 5u);
    EXPECT_EQ(RegularFileSize(Path("d")), std::nullopt);
    EXPECT_EQ(RegularFileSize(Path("missing")), std::nullopt);
    EXPECT_EQ(RegularFileSize(""), std::nullopt);
}

TEST_F(FileCalls, LinkThatLeadsNowhereTakesItsNameButIsNoFile) {
    std::error_code error;
    fs::create_symlink(Path("gone"), Path("link"), error);
    if (error) GTEST_SKIP() << "this host makes no symbolic links: " << error.message();
    EXPECT_TRUE(NameIsTaken(Path("link")));
    EXPECT_FALSE(PathExists(Path("link")));
    EXPECT_EQ(RegularFileSize(Path("link")), std::nullopt);
}

TEST_F(FileCalls, SizesBeyondFourGibibytesAreReportedWholeAndRefusedByTheLength) {
    std::error_code error;
    // Sparse on the hosts the tests run on: no disk space is used.
    Put(Path("big"), "");
    fs::resize_file(Path("big"), (uint64_t{1} << 32) + 7, error);
    if (error) GTEST_SKIP() << "no large file here: " << error.message();
    EXPECT_EQ(RegularFileSize(Path("big")), (uint64_t{1} << 32) + 7);
    EXPECT_EQ(GetFileLength(Path("big")), 0xFFFFFFFFu);
}

TEST_F(FileCalls, RenamesReplaceTheTargetAndLeaveNothingBehind) {
    Put(Path("tmp"), "new bytes");
    Put(Path("target"), std::string(100, 'o'));
    ASSERT_TRUE(MoveFileOverByRenames(Path("tmp"), Path("target")));
    EXPECT_EQ(Get(Path("target")), "new bytes");
    EXPECT_EQ(Names(), (std::vector<std::string>{"target"}));

    // No target yet: a plain move.
    Put(Path("tmp"), "first");
    ASSERT_TRUE(MoveFileOverByRenames(Path("tmp"), Path("fresh")));
    EXPECT_EQ(Get(Path("fresh")), "first");
    EXPECT_EQ(Names(), (std::vector<std::string>{"fresh", "target"}));

    // The spare name is short whatever the target's length (POSIX takes
    // names of up to 255 bytes).
    if (PosixFileNames()) {
        const std::string longest(255, 'l');
        Put(Path(longest), "old");
        Put(Path("tmp"), "long");
        ASSERT_TRUE(MoveFileOverByRenames(Path("tmp"), Path(longest)));
        EXPECT_EQ(Get(Path(longest)), "long");
        EXPECT_EQ(Names(), (std::vector<std::string>{"fresh", longest, "target"}));
    }
}

TEST_F(FileCalls, RenamesKeepTheOldFileWhenTheNewOneCannotTakeItsPlace) {
    Put(Path("target"), "old");
    // A stale file of ours under the first spare name is not touched.
    Put(Path("target.jv0.old"), "stale");
    EXPECT_FALSE(MoveFileOverByRenames(Path("no such tmp"), Path("target")));
    EXPECT_EQ(Get(Path("target")), "old");
    EXPECT_EQ(Get(Path("target.jv0.old")), "stale");
    EXPECT_EQ(Names(), (std::vector<std::string>{"target", "target.jv0.old"}));

    Put(Path("tmp"), "new");
    ASSERT_TRUE(MoveFileOverByRenames(Path("tmp"), Path("target")));
    EXPECT_EQ(Get(Path("target")), "new");
    EXPECT_EQ(Names(), (std::vector<std::string>{"target", "target.jv0.old"}));
    EXPECT_EQ(Get(Path("target.jv0.old")), "stale");
}

// The name of a file that must be new was free when a long job began; a
// file that took it meanwhile stays as it is.
TEST_F(FileCalls, NewFilesNeverReplaceAFileThatTookTheirNameMeanwhile) {
    Put(Path("out"), "appeared");
    for (auto move : {&MoveFileNew, &MoveFileNewByLinks}) {
        Put(Path("tmp"), "backup");
        EXPECT_EQ(move(Path("tmp"), Path("out")).result, ENewFile::Exists);
        EXPECT_EQ(Get(Path("out")), "appeared");
        EXPECT_EQ(move(Path("tmp"), Path("fresh")).result, ENewFile::Ok);
        EXPECT_EQ(Get(Path("fresh")), "backup");
        EXPECT_EQ(Names(), (std::vector<std::string>{"fresh", "out"}));
        fs::remove(Path("fresh"));
    }
    const uint8_t bytes[] = {1, 2, 3};
    const SNewFile written = WriteNewFileBinary(Path("out"), bytes, 3);
    EXPECT_EQ(written.result, ENewFile::Exists);
    EXPECT_EQ(NewFileRefusal("out", written), "out exists already; name a new file.\n");
    EXPECT_EQ(Get(Path("out")), "appeared");
    EXPECT_EQ(Names(), (std::vector<std::string>{"out"}));  // no temporary left
}

// "Exists already" only for what is there: a name that cannot be looked at,
// or a folder that takes no file, gets the system's reason.
TEST_F(FileCalls, NamesThatCannotBeUsedAreRefusedWithTheirOwnReason) {
    Put(Path("f"), "12345");
    fs::create_directory(Path("d"));
    struct SCase {
        std::string name;
        ENewFile result;
        int error;  // the reason on POSIX
    };
    const SCase cases[] = {
        {Path("f"), ENewFile::Exists, 0},
        {Path("d"), ENewFile::Exists, 0},
        {Path("free"), ENewFile::Ok, 0},
        {Path("nowhere/x"), ENewFile::Failed, ENOENT},
        {Path("f/x"), ENewFile::Failed, ENOTDIR},
        {Path(std::string(264, 'n')), ENewFile::Failed, ENAMETOOLONG},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name.size() > 100 ? "a 264-byte name" : c.name);
        const SNewFile check = CheckNewFile(c.name);
        EXPECT_EQ(check.result, c.result);
        EXPECT_EQ(check.reason.empty(), c.error == 0) << check.reason;
        if (PosixFileNames() && c.error != 0) {
            EXPECT_EQ(check.reason, std::strerror(c.error));
        }
    }
    // The check leaves nothing behind.
    EXPECT_EQ(Names(), (std::vector<std::string>{"d", "f"}));
}

// What another user who may write to the folder does between our steps:
// the temporary's name becomes a link to a file of root's, once.
std::string g_victim;
bool g_swapped = false;
void SwapForLink(const std::string& temporary) {
    if (g_swapped) return;
    std::error_code error;
    fs::remove(temporary, error);
    if (!error) fs::create_symlink(g_victim, temporary, error);
    g_swapped = !error;
}

// Whatever is done to the names, root writes into and reads back from no
// file but the one it made, and the target gets exactly the bytes.
TEST_F(FileCalls, ATemporaryTurnedIntoALinkIsNeitherWrittenThroughNorMoved) {
    const std::string bytes = "new bytes";
    const std::span data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    for (EPlaceFile place : {EPlaceFile::Replace, EPlaceFile::New}) {
        SCOPED_TRACE(place == EPlaceFile::Replace ? "replace" : "new");
        for (const auto& name : Names()) fs::remove(Path(name));
        g_victim = Path("victim");
        g_swapped = false;
        Put(g_victim, "root's own");
        if (place == EPlaceFile::Replace) Put(Path("out"), "old");
        SetOwnFileCreatedHookForTest(&SwapForLink);
        const SNewFile written = WriteOwnFile(Path("out"), data, {place, std::nullopt});
        SetOwnFileCreatedHookForTest(nullptr);
        if (!g_swapped) GTEST_SKIP() << "this host makes no symbolic links, or keeps open files from removal";
        EXPECT_EQ(written.result, ENewFile::Ok) << written.reason;
        EXPECT_EQ(Get(g_victim), "root's own");
        EXPECT_FALSE(fs::is_symlink(Path("out")));
        EXPECT_EQ(Get(Path("out")), bytes);
        // The link is not ours to remove.
        const std::vector<std::string> names = Names();
        ASSERT_EQ(names.size(), 3u);
        EXPECT_TRUE(fs::is_symlink(Path(names[0]))) << names[0];
    }
}

}  // namespace
}  // namespace jv
