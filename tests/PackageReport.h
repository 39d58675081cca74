#pragma once
// What the program prints about a package, worked out from the builder's
// description of it rather than from the loaded record, so that a wrong
// loader, sum or print-out shows up as a difference.
#include <cstdio>
#include <string>

#include "PackageBuilder.h"

namespace jv::test {

inline std::string Fmt(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

inline const char* AtapiName(uint8_t code) {
    static const char* const names[] = {"Not support", "MTK Type",  "ALI Type",  "MTK2 Type", "MTK3 Type",
                                        "MTK4 Type",   "MTK5 Type", "MTK6 Type", "MTK7 Type"};
    return names[code];
}

inline const char* IdeName(uint8_t code) {
    static const char* const names[] = {"Not support", "MTK Type", "ALI Type", "ALI2 Type", "MTK2 Type"};
    return names[code];
}

// The image sum less every byte of the kernel block and of each reserved
// block, once per block; low 16 bits.
inline uint16_t ReferenceFixSum(const SV3Package& package) {
    Bytes image = ImageOf(package);
    const bool mtk5 = package.atapiFlashType == kAtapiMtk5;
    uint32_t sum = ReferenceSum(image, mtk5);
    const size_t end = mtk5 ? image.size() - 8 : image.size();
    auto takeOff = [&](uint32_t address, uint32_t length) {
        for (uint64_t p = address; p < uint64_t{address} + length; ++p)
            if (p < end) sum -= image[static_cast<size_t>(p)];
    };
    takeOff(package.kernelAddress, package.kernelLength);
    for (const auto& block : package.reserveBlocks) takeOff(block.Address, block.Length);
    return static_cast<uint16_t>(sum);
}

inline std::string FixSumLine(const SV3Package& package) {
    return Fmt("\nFix data check sum : %08Xh\n", ReferenceFixSum(package));
}

// The /b print-out of a version 3 package whose firmware block is info
// (and, for a boot block first, the firmware block second).
inline std::string CheckReport(const SV3Package& package, const SInfoBlock& info) {
    Bytes image = ImageOf(package);
    uint32_t sum = ReferenceSum(image, package.atapiFlashType == kAtapiMtk5) & 0xFFFF;
    std::string text = "\n";
    text += Fmt("Calculated Check Sum     : %04Xh\n", sum);
    text += "Hardware ID              : " + info.hardwareId + "\n";
    text += "Model Name               : " + info.modelName + "\n";
    text += "Version                  : " + info.version + "\n";
    text += "Date Code                : " + info.dcDateCode.value_or(info.dateCode) + "\n";
    text += "\n";
    text += Fmt("YTR Header Check Sum     : %04Xh\n", package.headerCheckSum.value_or(static_cast<uint16_t>(sum)));
    text += std::string("IDE Flash Type           : ") + IdeName(package.ideFlashType) + "\n";
    text += std::string("Atapi Flash Type         : ") + AtapiName(package.atapiFlashType) + "\n";
    text += std::string("Atapi Flash Kernel Type  : ") +
            (package.kernelType != 0 ? AtapiName(package.atapiFlashType) : "Not support") + "\n";
    text += Fmt("Atapi Flash Kernel Block : Address %08Xh, Length %08Xh\n", package.kernelAddress, package.kernelLength);
    text += Fmt("Max Bank Size            : %08Xh\n", package.maxBankSize);
    text += Fmt("Total Bank               : %d\n", static_cast<unsigned>(package.banks.size()));
    for (size_t i = 0; i < package.banks.size(); ++i)
        text += Fmt("  Bank %-2d Size           : %08Xh\n", static_cast<unsigned>(i),
                    static_cast<unsigned>(package.banks[i].size()));
    text += Fmt("Total Reserved Blocks    : %d\n", static_cast<unsigned>(package.reserveBlocks.size()));
    for (size_t i = 0; i < package.reserveBlocks.size(); ++i)
        text += Fmt("  Reserved Block %-2d      : Address %08Xh, Length %08Xh\n", static_cast<unsigned>(i),
                    package.reserveBlocks[i].Address, package.reserveBlocks[i].Length);
    return text;
}

}  // namespace jv::test
