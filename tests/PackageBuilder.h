#pragma once
// Builds firmware packages, Philips-format files and firmware images for the
// tests, independently of the loader: the builder encodes with its own plain
// byte-by-byte transform and sums with its own loop, so a fault in the
// product's faster routines shows up as a mismatch instead of cancelling out.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/Ytr.h"

namespace jv::test {

using Bytes = std::vector<uint8_t>;

// Version 3 package. Banks are given as they should appear in the image.
struct SV3Package {
    uint8_t encoding = 2;  // 2: bank data stored encoded, anything else plain
    uint8_t ideFlashType = 0;
    uint8_t atapiFlashType = 4;
    uint8_t kernelType = 0;
    uint8_t keyA = 0x13, keyB = 0x5A, keyC = 0x21, keyD = 0x7E;
    uint32_t maxBankSize = 0x10000;
    std::vector<Bytes> banks;
    std::vector<SYTRReserveBlock> reserveBlocks;
    uint32_t kernelAddress = 0;
    uint32_t kernelLength = 0;
    std::optional<uint16_t> headerCheckSum;  // default: the image's own sum
};

// Legacy package (format version " ", "1" or "2"). An encoded legacy bank
// decodes with its own first byte as key, which always yields 0x02 as the
// first image byte, so every encoded bank must begin with 0x02.
struct SLegacyPackage {
    char version = '2';
    uint8_t encoding = 1;  // 1: each bank stored encoded with its own key
    std::vector<Bytes> banks;  // each at most 65,535 bytes
    std::optional<uint16_t> headerCheckSum;
};

// A Philips-format file as it lies on disk (no length prefix).
struct SPhilipsFile {
    std::string identification = "Philips DVD firmware";  // padded with zeros to 36 bytes
    Bytes image;
    uint16_t trailer1 = 0;
    uint16_t trailer2 = 0;
};

// The information block fields as a drive reports them. Each is written
// into its field and zero-padded; a longer text is cut to the field width.
struct SInfoBlock {
    std::string modelName = "ZERV    DVD-RW QLX-1600 ";  // 24
    std::string version = "1.05";                        // 4
    std::string hardwareId = "Q7";                       // 2
    std::string dateCode = "061120";                     // 6
    std::optional<std::string> dcDateCode;  // written as "DC" + 6 bytes in front of the block
};

Bytes BuildV3(const SV3Package& package);
Bytes BuildLegacy(const SLegacyPackage& package);
Bytes BuildPhilipsFile(const SPhilipsFile& file);
// The file as the loader is handed it: its length, big-endian, in front.
Bytes WithLengthPrefix(const Bytes& file);

// The zero-filled image the loader must produce for a package.
Bytes ImageOf(const SV3Package& package);
Bytes ImageOf(const SLegacyPackage& package);

// The byte transform and the image sum written the obvious way.
void ReferenceEncode(Bytes& bytes, uint8_t key);
uint8_t ReferenceKey(const SV3Package& package);
uint32_t ReferenceSum(const Bytes& image, bool leaveOutLast8);

// Deterministic filler bytes that never contain 0x05, so an image holds no
// information block but the ones a test puts in.
Bytes FillerBytes(size_t count, uint32_t seed);

// Writes an information block (signature 05 80 00 and the fields) at
// position; the image must be large enough.
void PutInfoBlock(Bytes& image, size_t position, const SInfoBlock& block);

// A realistic encoded package (bankSize at least 0x2000): one bank of filler bytes with a boot
// block at 0x100 and the firmware's block at bankSize / 2, two reserved blocks.
SV3Package SamplePackage(uint32_t bankSize = 0x10000);
// The firmware block SamplePackage puts in (the boot block reads "BOOT").
SInfoBlock SampleInfo();

// Little- and big-endian stores for patching headers in tests.
void PutLe16(Bytes& bytes, size_t at, uint16_t value);
void PutLe32(Bytes& bytes, size_t at, uint32_t value);
void PutBe16(Bytes& bytes, size_t at, uint16_t value);
void PutBe32(Bytes& bytes, size_t at, uint32_t value);

}  // namespace jv::test
