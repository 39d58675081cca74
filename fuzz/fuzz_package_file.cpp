// The package file reader on arbitrary file content: a package read as it
// is, or anything else taken for a zip archive and unpacked. Beyond the
// sanitizers, it checks that a failure prints one of the reader's failure
// texts and that no unpacked file is ever left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "flash/Flashmsg.h"
#include "package/ZipPackage.h"
#include "platform/RecordingConsole.h"
#include "platform/TempFile.h"

namespace {

namespace fs = std::filesystem;

struct SScratch {
    fs::path dir;
    fs::path input;
    fs::path unpack;
};

const SScratch& Scratch() {
    static const SScratch scratch = [] {
        std::random_device random;
        SScratch s;
        s.dir = fs::temp_directory_path() / ("jv-fuzz-package-file-" + std::to_string(random()));
        s.input = s.dir / "input";
        s.unpack = s.dir / "unpack";
        fs::create_directories(s.unpack);
        jv::SetPackageTempDirectory(s.unpack.string());
        jv::SetMessageTable(false);
        return s;
    }();
    return scratch;
}

bool IsFailureText(const std::string& text) {
    return text == "Get YTR File Length Fail !\n" || text == "ReadFileBinary Fail !\n" || text == "Not Valid YTR !\n" ||
           text == "Load YTR Fail!\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SScratch& scratch = Scratch();
    {
        std::FILE* file = std::fopen(scratch.input.string().c_str(), "wb");
        if (file == nullptr) std::abort();
        if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
        std::fclose(file);
    }
    jv::RecordingConsole console;
    jv::ScopedConsole scope(console);
    jv::SPackageFile package;
    bool ok = jv::LoadPackageFile(scratch.input.string(), package, jv::FlashMessage(jv::kMsgLoadYtrFail));
    if (ok ? !console.Transcript().empty() || package.image.empty() : !IsFailureText(console.Transcript()))
        std::abort();
    if (!fs::is_empty(scratch.unpack)) std::abort();
    return 0;
}
