#include "package/PackageBuffers.h"

#include <algorithm>

#include "package/BufferRecords.h"
#include "package/Cvtbuf.h"
#include "package/Firmware.h"
#include "platform/Console.h"
#include "util/Tool.h"

namespace jv {

namespace {

int g_selectedBuffer = 1;

}  // namespace

int SelectedBufferNumber() { return g_selectedBuffer; }
void SetSelectedBufferNumber(int number) { g_selectedBuffer = number; }

int PackageBufferFor(int selectedNumber) { return selectedNumber == 1 || selectedNumber == 2 ? selectedNumber : 3; }

std::span<const uint8_t> SelectedPackageData() { return PackageBuffer(PackageBufferFor(SelectedBufferNumber())); }

std::optional<SLoadedPackage> LoadPackageBuffer(std::span<const uint8_t> data) {
    // The loader checks every header field against the data it is given, and
    // the data is the buffer's capacity: a header that claims more than the
    // buffer holds does not load, so such a buffer counts as empty.
    uint32_t size = GetImageSize(data);
    // Without a whole package in the data nothing can load; no image is
    // allocated for what a stray header claims.
    if (size == 0 || GetYtrLength(data) == 0) return std::nullopt;
    SLoadedPackage package;
    package.image.assign(size, 0);
    if (!LoadYtr(data, package.header, package.image)) return std::nullopt;
    return package;
}

int SEmbeddedFirmware::PackageCount() const {
    return static_cast<int>(std::count_if(packages.begin(), packages.end(), [](const auto& p) { return p.has_value(); }));
}

std::optional<SEmbeddedFirmware> LoadEmbeddedPackages(std::span<const uint8_t> cvt,
                                                      const std::array<std::span<const uint8_t>, 3>& packages,
                                                      const std::string& loadFailText) {
    SEmbeddedFirmware firmware;
    if (CvtHoldsImage(cvt)) {
        // A Philips-format image in the CVT buffer wins; full package
        // buffers are ignored then.
        if (!LoadCvtImage(cvt, firmware.cvt.header, firmware.cvt.image)) {
            Print("%s\n", loadFailText.c_str());
            return std::nullopt;
        }
        firmware.philips = true;
        return firmware;
    }
    for (size_t n = 0; n < packages.size(); ++n) firmware.packages[n] = LoadPackageBuffer(packages[n]);
    if (firmware.PackageCount() == 0) {
        Print("%s\n", loadFailText.c_str());
        return std::nullopt;
    }
    return firmware;
}

std::optional<SEmbeddedFirmware> LoadEmbeddedPackages(const std::string& loadFailText) {
    return LoadEmbeddedPackages(CvtBufferData(), {PackageBuffer(1), PackageBuffer(2), PackageBuffer(3)},
                                loadFailText);
}

bool WriteParameterText(std::span<const uint8_t> data, const std::string& fileName) {
    auto end = std::find(data.begin(), data.end(), uint8_t{0});
    auto length = static_cast<uint32_t>(end - data.begin());
    return WriteFileBinary(fileName, data.data(), length);
}

bool WriteParameterBuffer(const std::string& fileName) {
    return WriteParameterText(EmbeddedBuffer(BufferId::Parameter), fileName);
}

bool WritePackageData(std::span<const uint8_t> data, const std::string& fileName) {
    // GetYtrLength is 0 for a header that claims more than the data holds,
    // so at most the buffer's own bytes are written.
    uint32_t length = GetYtrLength(data);
    return WriteFileBinary(fileName, data.data(), length);
}

bool WritePackageBuffer(const std::string& fileName) { return WritePackageData(SelectedPackageData(), fileName); }

bool CheckPackageData(std::span<const uint8_t> data) {
    auto package = LoadPackageBuffer(data);
    if (!package) return false;
    Print("\n");
    PrintFirmwareInfo(package->image, package->header);
    Print("\n");
    PrintYtrHeader(package->header);
    return true;
}

bool CheckPackageBuffer() { return CheckPackageData(SelectedPackageData()); }

bool PrintFixDataCheckSumOf(std::span<const uint8_t> data) {
    auto package = LoadPackageBuffer(data);
    if (!package) return false;
    Print("\nFix data check sum : %08Xh\n", static_cast<unsigned>(CalcFixDataCheckSum(package->image, package->header)));
    return true;
}

bool PrintFixDataCheckSum() { return PrintFixDataCheckSumOf(SelectedPackageData()); }

}  // namespace jv
