// jorvane-make-sample: writes a firmware package of the project's own making
// and a rig with the virtual drive it is meant for, so the update can be
// tried end to end on a machine without any drive. The firmware is filler
// bytes around an information block; it runs on nothing but a virtual drive.
//
//   jorvane-make-sample [options] <folder>
//     --package NAME      package file name (sample.ytr)
//     --rig NAME          rig file name (sample-rig.ini); "-" writes none
//     --vendor TEXT       vendor of the model name (ZERV)
//     --product TEXT      product of the model name (VIRTUAL DVD-RW)
//     --package-version T version the package carries (2.00)
//     --drive-version T   version the virtual drive reports before the update (1.00)
//     --hardware-id XX    hardware ID of package and drive (V1)
//     --date-code TEXT    date code of the package (261207)
//     --atapi-type N      ATAPI flash type of the package, 1 to 8 (6)
//     --banks N           64 KB banks of firmware (2)
//     --bad-checksum      the header's check sum does not match the image
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "package/FirmwareImage.h"
#include "platform/OwnFile.h"
#include "util/LongOptions.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBankSize = 0x10000;
constexpr uint32_t kStoredBankSize = kBankSize - 2;
constexpr uint8_t kTypeLeavesOutLast8 = 6;

struct SOptions {
    std::string folder;
    std::string package = "sample.ytr";
    std::string rig = "sample-rig.ini";
    std::string vendor = "ZERV";
    std::string product = "VIRTUAL DVD-RW";
    std::string version = "2.00";
    std::string driveVersion = "1.00";
    std::string hardwareId = "V1";
    std::string dateCode = "261207";
    int atapiType = 6;
    int banks = 2;
    bool badChecksum = false;
};

void PutLe16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(Bytes& b, size_t at, uint32_t v) {
    PutLe16(b, at, v & 0xFFFF);
    PutLe16(b, at + 2, v >> 16);
}

// A text field, cut or zero-padded to its width.
void PutField(Bytes& b, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) b[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

Bytes Firmware(const SOptions& o) {
    return jv::BuildFirmwareImage({o.vendor, o.product, o.version, o.dateCode, o.hardwareId},
                                  static_cast<uint32_t>(o.banks) * kBankSize);
}

// Version 3 layout, banks stored as they are (no encoding).
Bytes Package(const SOptions& o, const Bytes& image) {
    Bytes out(56 + 4 * static_cast<size_t>(o.banks));
    const std::string magic = "ZERV FILE SYSTEM";
    PutField(out, 0, magic, 17);
    out[24] = '3';
    out[25] = 0;
    out[26] = 0;
    out[27] = static_cast<uint8_t>(o.atapiType);
    uint32_t sum = 0;
    const size_t summed = o.atapiType == kTypeLeavesOutLast8 ? image.size() - 8 : image.size();
    for (size_t i = 0; i < summed; ++i) sum += image[i];
    if (o.badChecksum) sum += 1;
    PutLe16(out, 32, sum & 0xFFFF);
    PutLe32(out, 36, static_cast<uint32_t>(o.banks));
    PutLe32(out, 40, kBankSize);
    for (int i = 0; i < o.banks; ++i) {
        PutLe32(out, 56 + 4 * static_cast<size_t>(i), kStoredBankSize);
        const auto bank = image.begin() + static_cast<std::ptrdiff_t>(i) * kBankSize;
        out.insert(out.end(), bank, bank + kStoredBankSize);
    }
    return out;
}

std::string Rig(const SOptions& o, const std::string& flashFile) {
    return "; The virtual drive the sample package is for. It keeps its flash in\n"
           "; " + flashFile + " beside this file: delete that file for a drive fresh from\n"
           "; the factory, still reporting the version below.\n"
           "[sample]\n"
           "vendor = " + o.vendor + "\n"
           "product = \"" + o.product + "\"\n"
           "revision = " + o.driveVersion + "\n"
           "date_code = 250101\n"
           "hardware_id = " + o.hardwareId + "\n"
           "flash_file = " + flashFile + "\n";
}

// Whole or not at all, through the writer the backup uses: a full disk
// leaves no partial file behind, and the file that was there stays.
bool Write(const std::string& path, const std::string& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const jv::SNewFile written = jv::WriteOwnFile(path, std::span(bytes, text.size()));
    if (written.result == jv::ENewFile::Ok) return true;
    const std::string why =
        written.result == jv::ENewFile::ReadsBackWrong ? "it did not read back as written" : written.reason;
    std::fprintf(stderr, "jorvane-make-sample: cannot write %s: %s\n", path.c_str(), why.c_str());
    return false;
}

constexpr const char* kUsage =
    "Usage: jorvane-make-sample [--package NAME] [--rig NAME|-] [--vendor TEXT] [--product TEXT]\n"
    "       [--package-version TEXT] [--drive-version TEXT] [--hardware-id XX] [--date-code TEXT]\n"
    "       [--atapi-type 1-8] [--banks 1-32] [--bad-checksum] <folder>\n";

[[noreturn]] void Usage() {
    std::fputs(kUsage, stderr);
    std::exit(2);
}

int Number(const char* text, int low, int high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) Usage();
    return static_cast<int>(value);
}

SOptions Parse(int argc, char** argv) {
    SOptions o;
    for (int i = 1; i < argc; ++i) {
        // --help and --version answer wherever they stand, as the value of
        // another option too: they ask for no sample.
        if (std::string_view(argv[i]) == "--help") {
            std::fputs(kUsage, stdout);
            std::printf("\n%s\n", jv::ManualLine("jorvane-make-sample").c_str());
            std::exit(0);
        }
        if (std::string_view(argv[i]) == "--version") {
            std::printf("%s\n", jv::VersionLine("jorvane-make-sample").c_str());
            std::exit(0);
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bad-checksum") {
            o.badChecksum = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            if (!o.folder.empty()) Usage();
            o.folder = arg;
            continue;
        }
        static constexpr std::string_view kValued[] = {"--package", "--rig", "--vendor", "--product",
                                                       "--package-version", "--drive-version", "--hardware-id",
                                                       "--date-code", "--atapi-type", "--banks"};
        if (std::find(std::begin(kValued), std::end(kValued), arg) == std::end(kValued))
            std::exit(jv::RefuseLongOption("jorvane-make-sample", arg));
        if (i + 1 >= argc) Usage();
        const char* value = argv[++i];
        if (arg == "--package") o.package = value;
        else if (arg == "--rig") o.rig = value;
        else if (arg == "--vendor") o.vendor = value;
        else if (arg == "--product") o.product = value;
        else if (arg == "--package-version") o.version = value;
        else if (arg == "--drive-version") o.driveVersion = value;
        else if (arg == "--hardware-id") o.hardwareId = value;
        else if (arg == "--date-code") o.dateCode = value;
        else if (arg == "--atapi-type") o.atapiType = Number(value, 1, 8);
        else if (arg == "--banks") o.banks = Number(value, 1, 32);
        else Usage();
    }
    if (o.folder.empty() || o.vendor.size() > 8 || o.product.size() > 16) Usage();
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const SOptions o = Parse(argc, argv);
    const Bytes package = Package(o, Firmware(o));
    // The folder and its parents, as mkdir -p makes them; one that is there
    // already is fine.
    std::error_code error;
    std::filesystem::create_directories(o.folder, error);
    if (error) {
        std::fprintf(stderr, "jorvane-make-sample: cannot make the folder %s: %s\n", o.folder.c_str(),
                     error.message().c_str());
        return 1;
    }
    const std::string packagePath = o.folder + "/" + o.package;
    if (!Write(packagePath, std::string(package.begin(), package.end()))) return 1;
    if (o.rig != "-") {
        const std::string rigPath = o.folder + "/" + o.rig;
        const std::string stem = o.rig.substr(0, o.rig.rfind('.'));
        if (!Write(rigPath, Rig(o, stem + "-flash.bin"))) return 1;
    }
    return 0;
}
