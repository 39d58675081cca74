// Writes small packages of every layout into a folder, as seeds for
// fuzz_package_loader: make_package_corpus fuzz/corpus/package_loader
#include <cstdio>
#include <string>

#include "PackageBuilder.h"

namespace {

using jv::test::Bytes;

bool Write(const std::string& folder, const char* name, const Bytes& bytes) {
    const std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

Bytes WithInfo(size_t size, uint32_t seed, bool boot, bool dc) {
    Bytes bank = jv::test::FillerBytes(size, seed);
    jv::test::SInfoBlock block;
    if (dc) block.dcDateCode = "050607";
    if (boot) {
        jv::test::SInfoBlock bootBlock;
        bootBlock.version = "BOOT";
        jv::test::PutInfoBlock(bank, 0x10, bootBlock);
    }
    jv::test::PutInfoBlock(bank, size / 2, block);
    return bank;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;

    jv::test::SV3Package v3;
    v3.maxBankSize = 0x200;
    v3.banks = {WithInfo(0x200, 1, true, false), WithInfo(0x180, 2, false, true)};
    v3.reserveBlocks = {{0x1F0, 0x10}, {0x300, 0x20}};
    v3.kernelType = 1;
    v3.kernelAddress = 0x40;
    v3.kernelLength = 0x40;
    ok &= Write(folder, "v3_encoded", jv::test::BuildV3(v3));
    v3.encoding = 0;
    v3.atapiFlashType = jv::kAtapiMtk5;
    ok &= Write(folder, "v3_plain_mtk5", jv::test::BuildV3(v3));
    v3.atapiFlashType = jv::kAtapiMtk6;
    v3.reserveBlocks.clear();
    ok &= Write(folder, "v3_mtk6_no_blocks", jv::test::BuildV3(v3));

    jv::test::SLegacyPackage legacy;
    legacy.banks = {WithInfo(0x100, 3, false, false), WithInfo(0x80, 4, true, true)};
    legacy.banks[0][0] = 0x02;
    legacy.banks[1][0] = 0x02;
    ok &= Write(folder, "legacy_encoded", jv::test::BuildLegacy(legacy));
    legacy.version = ' ';
    legacy.encoding = 0;
    for (int i = 0; i < 7; ++i) legacy.banks.push_back(Bytes(0x10, static_cast<uint8_t>(i)));
    ok &= Write(folder, "legacy_nine_banks", jv::test::BuildLegacy(legacy));

    jv::test::SPhilipsFile philips;
    philips.image = WithInfo(0x100, 5, false, false);
    philips.trailer1 = 0x1234;
    philips.trailer2 = 0x5678;
    ok &= Write(folder, "philips", jv::test::WithLengthPrefix(jv::test::BuildPhilipsFile(philips)));

    if (!ok) std::fprintf(stderr, "could not write the seeds into %s\n", folder.c_str());
    return ok ? 0 : 1;
}
