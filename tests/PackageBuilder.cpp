#include "PackageBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace jv::test {

namespace {

constexpr char kMagic[] = "ZERV FILE SYSTEM";  // 16 characters and the zero byte

void PutText(Bytes& bytes, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

uint16_t LowSum(const Bytes& image, uint8_t atapiFlashType) {
    return static_cast<uint16_t>(ReferenceSum(image, atapiFlashType == kAtapiMtk5));
}

}  // namespace

void PutLe16(Bytes& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
    PutLe16(bytes, at, static_cast<uint16_t>(value));
    PutLe16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

void PutBe16(Bytes& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value >> 8);
    bytes.at(at + 1) = static_cast<uint8_t>(value);
}

void PutBe32(Bytes& bytes, size_t at, uint32_t value) {
    PutBe16(bytes, at, static_cast<uint16_t>(value >> 16));
    PutBe16(bytes, at + 2, static_cast<uint16_t>(value));
}

void ReferenceEncode(Bytes& bytes, uint8_t key) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t s = i % 8;
        bytes[i] = static_cast<uint8_t>(key + 57 * s - bytes[i]);
        if (s == 7) key = static_cast<uint8_t>(key * 35);
    }
}

uint8_t ReferenceKey(const SV3Package& package) {
    return static_cast<uint8_t>((package.keyB - package.keyC) * package.keyA + package.keyD);
}

uint32_t ReferenceSum(const Bytes& image, bool leaveOutLast8) {
    uint32_t sum = 0;
    for (uint8_t b : image) sum += b;
    if (leaveOutLast8) {
        for (size_t i = image.size() >= 8 ? image.size() - 8 : 0; i < image.size(); ++i) sum -= image[i];
    }
    return sum;
}

Bytes ImageOf(const SV3Package& package) {
    Bytes image(package.banks.size() * size_t{package.maxBankSize});
    for (size_t i = 0; i < package.banks.size(); ++i) {
        if (package.banks[i].size() > package.maxBankSize) throw std::invalid_argument("bank above max bank size");
        std::copy(package.banks[i].begin(), package.banks[i].end(), image.begin() + i * package.maxBankSize);
    }
    return image;
}

Bytes ImageOf(const SLegacyPackage& package) {
    Bytes image(package.banks.size() * size_t{kLegacyBankSize});
    for (size_t i = 0; i < package.banks.size(); ++i) {
        std::copy(package.banks[i].begin(), package.banks[i].end(), image.begin() + i * kLegacyBankSize);
    }
    return image;
}

Bytes BuildV3(const SV3Package& package) {
    const uint32_t banks = static_cast<uint32_t>(package.banks.size());
    const uint32_t blocks = static_cast<uint32_t>(package.reserveBlocks.size());
    Bytes out(56 + 4 * size_t{banks} + 8 * size_t{blocks});
    std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
    out[24] = '3';
    out[25] = package.encoding;
    out[26] = package.ideFlashType;
    out[27] = package.atapiFlashType;
    out[28] = package.keyA;
    out[29] = package.keyB;
    out[30] = package.keyC;
    out[31] = package.keyD;
    PutLe16(out, 32, package.headerCheckSum.value_or(LowSum(ImageOf(package), package.atapiFlashType)));
    out[34] = package.kernelType;
    PutLe32(out, 36, banks);
    PutLe32(out, 40, package.maxBankSize);
    PutLe32(out, 44, blocks);
    PutLe32(out, 48, package.kernelAddress);
    PutLe32(out, 52, package.kernelLength);
    for (uint32_t i = 0; i < banks; ++i) {
        PutLe32(out, 56 + 4 * size_t{i}, static_cast<uint32_t>(package.banks[i].size()));
    }
    const size_t blockTable = 56 + 4 * size_t{banks};
    for (uint32_t i = 0; i < blocks; ++i) {
        PutLe32(out, blockTable + 8 * size_t{i}, package.reserveBlocks[i].Address);
        PutLe32(out, blockTable + 8 * size_t{i} + 4, package.reserveBlocks[i].Length);
    }
    const uint8_t key = ReferenceKey(package);
    for (const Bytes& bank : package.banks) {
        Bytes stored = bank;
        if (package.encoding == 2) ReferenceEncode(stored, key);
        out.insert(out.end(), stored.begin(), stored.end());
    }
    return out;
}

Bytes BuildLegacy(const SLegacyPackage& package) {
    const size_t banks = package.banks.size();
    if (banks > 38) throw std::invalid_argument("a legacy size table ends at offset 112");
    Bytes out(banks <= 8 ? 64 : 112);
    std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
    out[24] = static_cast<uint8_t>(package.version);
    out[25] = package.encoding;
    PutLe16(out, 32, package.headerCheckSum.value_or(LowSum(ImageOf(package), 1)));
    PutLe16(out, 34, static_cast<uint16_t>(banks));
    for (size_t i = 0; i < banks; ++i) {
        if (package.banks[i].size() > 0xFFFF) throw std::invalid_argument("legacy bank sizes are 16-bit");
        PutLe16(out, 36 + 2 * i, static_cast<uint16_t>(package.banks[i].size()));
    }
    for (size_t i = 0; i < banks; ++i) {
        Bytes stored = package.banks[i];
        if (package.encoding == 1 && !stored.empty()) {
            if (stored[0] != 0x02) throw std::invalid_argument("an encoded legacy bank begins with 0x02");
            // Any key works: the stored first byte becomes key - 2, from which
            // the loader gets the key back.
            ReferenceEncode(stored, static_cast<uint8_t>(0x41 + 7 * i));
        }
        out.insert(out.end(), stored.begin(), stored.end());
    }
    return out;
}

Bytes BuildPhilipsFile(const SPhilipsFile& file) {
    Bytes out(36);
    PutText(out, 0, file.identification, 36);
    out.insert(out.end(), file.image.begin(), file.image.end());
    out.resize(out.size() + 4);
    PutBe16(out, out.size() - 4, file.trailer1);
    PutBe16(out, out.size() - 2, file.trailer2);
    return out;
}

Bytes WithLengthPrefix(const Bytes& file) {
    Bytes out(4 + file.size());
    PutBe32(out, 0, static_cast<uint32_t>(file.size()));
    std::copy(file.begin(), file.end(), out.begin() + 4);
    return out;
}

Bytes FillerBytes(size_t count, uint32_t seed) {
    Bytes out(count);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& b : out) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
        if (b == 0x05) b = 0x06;
    }
    return out;
}

void PutInfoBlock(Bytes& image, size_t position, const SInfoBlock& block) {
    image.at(position) = 0x05;
    image.at(position + 1) = 0x80;
    image.at(position + 2) = 0x00;
    PutText(image, position + 8, block.modelName, 24);
    PutText(image, position + 32, block.version, 4);
    PutText(image, position + 38, block.hardwareId, 2);
    PutText(image, position + 40, block.dateCode, 6);
    if (block.dcDateCode) {
        image.at(position - 12) = 'D';
        image.at(position - 11) = 'C';
        PutText(image, position - 10, *block.dcDateCode, 6);
    }
}

SInfoBlock SampleInfo() {
    return {};
}

SV3Package SamplePackage(uint32_t bankSize) {
    if (bankSize < 0x2000) throw std::invalid_argument("the sample's blocks need a bank of 0x2000 bytes");
    SV3Package package;
    package.maxBankSize = bankSize;
    Bytes bank = FillerBytes(bankSize, bankSize);
    SInfoBlock boot;
    boot.version = "BOOT";
    boot.dateCode = "990101";
    PutInfoBlock(bank, 0x100, boot);
    PutInfoBlock(bank, bankSize / 2, SampleInfo());
    package.banks.push_back(std::move(bank));
    package.reserveBlocks = {{bankSize - 0x300, 0x200}, {0x1000, 0x800}};
    return package;
}

}  // namespace jv::test
