#pragma once
// The test parameter file: the identity and the layout numbers of the
// firmware in package buffer 1, for test tools outside the program.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "package/Ytr.h"
#include "util/Tool.h"

namespace jv {

struct STestParameter {
    uint16_t FixDataCheckSum = 0;
    uint32_t ImageSize = 0;
    uint32_t KernelAddress = 0;
    uint32_t KernelLength = 0;
    std::vector<SYTRReserveBlock> ReserveBlocks;
};

// The lines of the file, between the start and end markers; numbers in
// lower-case hexadecimal without leading zeros.
LineList TestParameterLines(const std::string& hardwareId, const std::string& modelName, const std::string& version,
                            const std::string& dateCode, STestParameter parameter);

// Writes the lines, each ended by CR LF; true when the file was written.
bool WriteTestParameters(const std::string& fileName, const std::string& hardwareId, const std::string& modelName,
                         const std::string& version, const std::string& dateCode, STestParameter parameter);

// The whole job of the /t command on a package buffer's data: false, and no
// file, when the data holds no package.
bool WritePackageTestParameters(std::span<const uint8_t> data, const std::string& fileName);
// The same on package buffer 1, whichever buffer is selected.
bool WriteBufferTestParameters(const std::string& fileName);

}  // namespace jv
