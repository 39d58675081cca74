// Writes the seeds of fuzz_package_file and fuzz_settings:
//   make_file_corpus fuzz/corpus/package_file fuzz/corpus/settings
// Packages come from the tests' package builder, archives from minizip's zip
// layer, settings texts from the built-in default text.
#include <zip.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "driver/Settings.h"

namespace {

using jv::test::Bytes;

bool Write(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

struct SEntry {
    std::string name;
    Bytes content;
    bool stored = false;
};

bool WriteZip(const std::string& path, const std::vector<SEntry>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) return false;
    bool ok = true;
    for (const auto& entry : entries) {
        zip_fileinfo info{};
        ok &= zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    entry.stored ? 0 : Z_DEFLATED, entry.stored ? 0 : Z_BEST_COMPRESSION, 0) == ZIP_OK;
        if (!entry.content.empty())
            ok &= zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size())) == ZIP_OK;
        ok &= zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

Bytes SmallPackage(uint8_t encoding) {
    jv::test::SV3Package package;
    package.encoding = encoding;
    package.maxBankSize = 0x100;
    Bytes bank = jv::test::FillerBytes(0x100, 1);
    jv::test::PutInfoBlock(bank, 0x40, jv::test::SampleInfo());
    package.banks = {bank};
    package.reserveBlocks = {{0xF0, 0x10}};
    return jv::test::BuildV3(package);
}

Bytes Text(const jv::LineList& lines) {
    Bytes text;
    for (const auto& line : lines) {
        text.insert(text.end(), line.begin(), line.end());
        text.push_back('\r');
        text.push_back('\n');
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <package_file folder> <settings folder>\n", argv[0]);
        return 2;
    }
    const std::string files = std::string(argv[1]) + "/";
    const std::string settings = std::string(argv[2]) + "/";
    bool ok = true;

    const Bytes encoded = SmallPackage(2), plain = SmallPackage(0);
    jv::test::SPhilipsFile philips;
    philips.image = jv::test::FillerBytes(0x40, 2);
    const Bytes raw = jv::test::BuildPhilipsFile(philips);

    ok &= Write(files + "package", encoded);
    ok &= Write(files + "philips_plain", raw);
    ok &= WriteZip(files + "zip_package", {{"p.ytr", encoded}});
    ok &= WriteZip(files + "zip_stored_two", {{"a.ytr", plain, true}, {"b.ytr", encoded, true}});
    ok &= WriteZip(files + "zip_philips_and_dir", {{"cvt.bin", raw}, {"dir/", {}}});
    ok &= WriteZip(files + "zip_empty", {});

    ok &= Write(settings + "default", Text(jv::DefaultSettingsText()));
    ok &= Write(settings + "updater",
                Text({"[Main]", "Updater=1", "ProgramName=Updater", "[Argument default value]", "s=1", "y=1",
                      "[Argument enabled]", "s=0", "y=1", "[Other settings]", "AvailableModel=1", "ErasePadChar=300",
                      "[AvailableModelNames]     ", "ZERV    QLX-3301        ", "", "[Title]", "  -- title"}));
    ok &= Write(settings + "odd", Text({"Verify = 1", "[Other settings]", "Time=1", "[Other settings]", "Timer=-5x",
                                        "n=+12", "\tkey=\r value", "["}));
    if (!ok) std::fprintf(stderr, "make_file_corpus: could not write every seed\n");
    return ok ? 0 : 1;
}
