#include "package/TestParameters.h"

#include "package/BufferRecords.h"
#include "package/Firmware.h"
#include "package/PackageBuffers.h"
#include "platform/Console.h"

namespace jv {

namespace {

std::string Hex(uint32_t value) { return Format("%x", static_cast<unsigned>(value)); }

}  // namespace

LineList TestParameterLines(const std::string& hardwareId, const std::string& modelName, const std::string& version,
                            const std::string& dateCode, STestParameter parameter) {
    LineList lines = {"[YTR3 TEST PARAMETERS START]",
                      hardwareId,
                      modelName,
                      version,
                      dateCode,
                      Hex(parameter.FixDataCheckSum),
                      Hex(parameter.ImageSize),
                      Hex(parameter.KernelAddress),
                      Hex(parameter.KernelLength)};
    for (const auto& block : parameter.ReserveBlocks) {
        lines.push_back(Hex(block.Address));
        lines.push_back(Hex(block.Length));
    }
    lines.push_back("[YTR3 TEST PARAMETERS END]");
    return lines;
}

bool WriteTestParameters(const std::string& fileName, const std::string& hardwareId, const std::string& modelName,
                         const std::string& version, const std::string& dateCode, STestParameter parameter) {
    return WriteTextLines(fileName,
                          TestParameterLines(hardwareId, modelName, version, dateCode, std::move(parameter)));
}

bool WritePackageTestParameters(std::span<const uint8_t> data, const std::string& fileName) {
    auto package = LoadPackageBuffer(data);
    if (!package) return false;
    const auto& image = package->image;
    const uint8_t mode = package->header.AtapiFlashType;
    STestParameter parameter;
    parameter.FixDataCheckSum = CalcFixDataCheckSum(image, package->header);
    parameter.ImageSize = static_cast<uint32_t>(image.size());
    parameter.KernelAddress = package->header.KernelAddress;
    parameter.KernelLength = package->header.KernelLength;
    parameter.ReserveBlocks = package->header.ReserveBlocks;
    std::string hardwareId = GetImageHardwareId(image);
    std::string modelName = GetImageModelName(image);
    std::string version = GetImageVersion(image, mode);
    std::string dateCode = GetImageDateCode(image, mode);
    // The image is not needed for the writing.
    package.reset();
    return WriteTestParameters(fileName, hardwareId, modelName, version, dateCode, std::move(parameter));
}

bool WriteBufferTestParameters(const std::string& fileName) {
    return WritePackageTestParameters(PackageBuffer(1), fileName);
}

}  // namespace jv
