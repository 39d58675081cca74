// Writes the seeds of fuzz_package_file, fuzz_settings, fuzz_zip_package and
// fuzz_command_line into the folders of the same names below one folder:
//   make_file_corpus fuzz/corpus
// Packages come from the tests' package builder, archives from minizip's zip
// layer, settings texts from the built-in default text.
#include <zip.h>

#include <algorithm>
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
    bool encrypted = false;  // marked as needing a password; the bytes stay plain
    bool zip64 = false;
};

// Sets the "encrypted" bit of every entry in the local and the central
// headers. minizip's own encryption starts from a random header, which would
// make every new corpus differ from the last; the reader refuses an entry by
// that bit alone.
void MarkEncrypted(Bytes& archive) {
    constexpr uint8_t kLocal[] = {'P', 'K', 3, 4}, kCentral[] = {'P', 'K', 1, 2};
    for (size_t at = 0; at + 10 <= archive.size(); ++at) {
        if (std::equal(kLocal, kLocal + 4, archive.begin() + static_cast<long>(at))) archive[at + 6] |= 1;
        if (std::equal(kCentral, kCentral + 4, archive.begin() + static_cast<long>(at))) archive[at + 8] |= 1;
    }
}

Bytes Read(const std::string& path) {
    Bytes bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

bool WriteZip(const std::string& path, const std::vector<SEntry>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) return false;
    bool ok = true;
    for (const auto& entry : entries) {
        zip_fileinfo info{};
        ok &= zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    entry.stored ? 0 : Z_DEFLATED, entry.stored ? 0 : Z_BEST_COMPRESSION,
                                    entry.zip64 ? 1 : 0) == ZIP_OK;
        if (!entry.content.empty())
            ok &= zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size())) == ZIP_OK;
        ok &= zipCloseFileInZip(zip) == ZIP_OK;
    }
    ok &= zipClose(zip, nullptr) == ZIP_OK;
    if (ok && std::any_of(entries.begin(), entries.end(), [](const SEntry& e) { return e.encrypted; })) {
        Bytes archive = Read(path);
        MarkEncrypted(archive);
        ok = Write(path, archive);
    }
    return ok;
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

// A fuzz_command_line input: the settings text, then each argument behind a
// zero byte.
Bytes CommandLine(Bytes text, const std::vector<std::string>& arguments) {
    for (const auto& argument : arguments) {
        text.push_back(0);
        text.insert(text.end(), argument.begin(), argument.end());
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string corpus = std::string(argv[1]) + "/";
    const std::string files = corpus + "package_file/", settings = corpus + "settings/",
                      zips = corpus + "zip_package/", commands = corpus + "command_line/";
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

    // The zip reader alone: which entry it takes, and the entries it refuses
    // (a password, more than the fuzz target's 64 KiB, a directory last).
    ok &= WriteZip(zips + "one_deflated", {{"p.ytr", encoded}});
    ok &= WriteZip(zips + "stored_two", {{"a.ytr", plain, true}, {"b.ytr", encoded, true}});
    ok &= WriteZip(zips + "directory_last", {{"a.ytr", plain}, {"dir/", {}}, {"sub\\", {}, true}});
    ok &= WriteZip(zips + "password", {{"p.ytr", encoded, false, true}});
    ok &= WriteZip(zips + "zip64", {{"p.ytr", plain, true, false, true}});
    ok &= WriteZip(zips + "over_limit", {{"big.bin", Bytes(80 * 1024, 0xFF)}});
    ok &= WriteZip(zips + "empty", {});

    const Bytes defaults = Text(jv::DefaultSettingsText());
    const Bytes updater =
        Text({"[Main]", "Updater=1", "ProgramName=Updater", "[Argument default value]", "s=1", "y=1",
              "[Argument enabled]", "s=0", "y=1", "[Other settings]", "AvailableModel=1", "ErasePadChar=300",
              "[AvailableModelNames]     ", "ZERV    QLX-3301        ", "", "[Title]", "  -- title"});
    ok &= Write(settings + "default", defaults);
    ok &= Write(settings + "updater", updater);
    ok &= Write(settings + "odd", Text({"Verify = 1", "[Other settings]", "Time=1", "[Other settings]", "Timer=-5x",
                                        "n=+12", "\tkey=\r value", "["}));

    // The built-in text (an input that begins with a zero byte), a text of
    // its own, and a text that turns options off, each with command lines
    // that reach every option and the argument errors.
    ok &= Write(commands + "builtin_update", CommandLine({}, {"/y", "package.ytr", "-N3", "/k", "/u", "/i", "/a7"}));
    ok &= Write(commands + "builtin_outputs",
                CommandLine({}, {"/oOut.YTR", "2", "/b", "/f3", "/mSettings.ini", "/tTest.txt", "/pP.ini"}));
    ok &= Write(commands + "builtin_errors", CommandLine({}, {"a.ytr", "b.ytr", "/n12", "/n-1", "/nx"}));
    ok &= Write(commands + "builtin_flags",
                CommandLine({}, {"/H", "-?", "/v", "/c", "/d", "/g", "/r", "/q", "/s", "/eMTK2", "/eali2", "/z", "-"}));
    ok &= Write(commands + "updater_text", CommandLine(updater, {"/s", "/y", "/h", "/n 11"}));
    ok &= Write(commands + "options_off",
                CommandLine(Text({"[Argument enabled]", "h=0", "n=0", "o=0", "b=0", "[Argument default value]",
                                  "n=5", "a=-3", "[Main]", "ShowCaption=0", "ShowDate=0"}),
                            {"/h", "/n99", "/ofile", "3", "/b2", "x.ytr"}));
    if (!ok) std::fprintf(stderr, "make_file_corpus: could not write every seed\n");
    return ok ? 0 : 1;
}
