// The package loader on arbitrary bytes, then everything that works on what
// it loads. Beyond the sanitizers, it checks that the length the header
// claims never exceeds the bytes and that whatever loads as a package also
// reports a package length.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "FuzzSupport.h"
#include "package/Firmware.h"
#include "package/Ytr.h"

namespace {

// The product accepts images up to kMaxImageSize; here a header may claim at
// most two legacy banks' worth, or zero-filling and summing a large image
// would be nearly all an input costs. Large images go through the same code
// as small ones: only the loops run longer. Content that reports no package
// length should never load, so trying that costs even less.
constexpr uint32_t kImageLimit = 2 * jv::kLegacyBankSize;
constexpr uint32_t kNoPackageImageLimit = jv::kLegacyBankSize;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace jv;
    fuzz::DropConsoleOutput();
    // Kept between inputs: assign() below zero-fills without reallocating.
    static std::vector<uint8_t> buffer;

    const std::span<const uint8_t> bytes(data, size);
    const uint32_t length = GetYtrLength(bytes);
    if (length > size) std::abort();
    uint32_t imageSize = GetImageSize(bytes);
    const bool philips = IsPhilipsImage(bytes);
    if (philips) {
        if (imageSize < 40) return 0;
        imageSize -= 40;
    }
    if (imageSize > (philips || length != 0 ? kImageLimit : kNoPackageImageLimit)) return 0;

    buffer.assign(imageSize, 0);
    const std::span<uint8_t> image(buffer.data(), imageSize);
    SYTRParameter record;
    if (!LoadYtr(bytes, record, image)) return 0;
    if (!philips && length == 0) std::abort();

    uint32_t sum = CalcCheckSum(image, record);
    sum += CalcFixDataCheckSum(image, record);
    sum += static_cast<uint32_t>(FindInfoSignatures(image).size());
    PrintYtrHeader(record);
    PrintFirmwareInfo(image, record);
    for (uint8_t mode : {record.AtapiFlashType, uint8_t{7}}) {
        sum += static_cast<uint32_t>(GetImageVersion(image, mode).size() + GetImageDateCode(image, mode).size());
    }
    // The routines live in another library, so their calls stay even though
    // only the sanitizers look at what they do.
    (void)sum;
    return 0;
}
