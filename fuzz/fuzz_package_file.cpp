// The package file reader on arbitrary file content: a package read as it
// is, or anything else taken for a zip archive and unpacked. Beyond the
// sanitizers, it checks that a failure prints one of the reader's failure
// texts and that no unpacked file is ever left behind.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "flash/Flashmsg.h"
#include "package/ZipPackage.h"
#include "platform/RecordingConsole.h"
#include "platform/TempFile.h"

namespace {

struct SScratch {
    jv::fuzz::MemoryFile input{"package-file"};
    // The unpacked package is made in a real folder (mkstemp), its name
    // removed at once.
    jv::fuzz::ScratchFolder unpack{"package-file"};
    jv::RecordingConsole console;

    SScratch() {
        jv::SetPackageTempDirectory(unpack.Path().string());
        jv::SetMessageTable(false);
        jv::SetConsole(&console);
    }
    ~SScratch() { jv::SetConsole(nullptr); }
};

bool IsFailureText(const std::string& text) {
    return text == "Get YTR File Length Fail !\n" || text == "ReadFileBinary Fail !\n" || text == "Not Valid YTR !\n" ||
           text == "Load YTR Fail!\n";
}

// The reader allocates whatever image a package header claims, up to the
// product's 64 MiB; zero-filling that would be nearly all an input costs. A
// header anywhere in the input (a package read as it is, or an entry stored
// in an archive) that claims more than two legacy banks skips the input.
constexpr uint32_t kImageLimit = 2 * jv::kLegacyBankSize;

bool ClaimsLargeImage(std::span<const uint8_t> bytes) {
    constexpr std::string_view kMagic("ZERV FILE SYSTEM", 17);
    auto at = bytes.begin();
    while ((at = std::search(at, bytes.end(), kMagic.begin(), kMagic.end())) != bytes.end()) {
        if (jv::GetImageSize(bytes.subspan(static_cast<size_t>(at - bytes.begin()))) > kImageLimit) return true;
        ++at;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SScratch scratch;
    if (ClaimsLargeImage({data, size})) return 0;
    scratch.input.Assign(data, size);
    jv::fuzz::ServeArchiveFromMemory(scratch.input.Name(), data, size);
    scratch.console.ClearTranscript();
    jv::SPackageFile package;
    bool ok = jv::LoadPackageFile(scratch.input.Name(), package, jv::FlashMessage(jv::kMsgLoadYtrFail));
    const std::string& said = scratch.console.Transcript();
    if (ok ? !said.empty() || package.image.empty() : !IsFailureText(said)) std::abort();
    if (!std::filesystem::is_empty(scratch.unpack.Path())) std::abort();
    return 0;
}
