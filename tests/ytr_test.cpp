#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "PackageBuilder.h"
#include "package/Ytr.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

using test::Bytes;

// Loads bytes the way every caller does: size, image, load. The image starts
// out as rubbish: the loader writes every byte of it, zero past a short bank.
struct SLoaded {
    bool ok = false;
    SYTRParameter record;
    Bytes image;
};

SLoaded Load(const Bytes& bytes) {
    SLoaded loaded;
    uint32_t size = GetImageSize(bytes);
    if (IsPhilipsImage(bytes) && size >= 40) size -= 40;
    loaded.image.assign(size, 0xA5);
    loaded.ok = LoadYtr(bytes, loaded.record, loaded.image);
    return loaded;
}

test::SV3Package TwoBankPackage() {
    test::SV3Package package;
    package.ideFlashType = 4;
    package.atapiFlashType = 5;
    package.kernelType = 1;
    package.maxBankSize = 0x1000;
    package.banks = {test::FillerBytes(0x1000, 1), test::FillerBytes(0x6A3, 2)};
    package.reserveBlocks = {{0x1F00, 0x100}, {0x0800, 0x40}, {0x0840, 0x10}};
    package.kernelAddress = 0x200;
    package.kernelLength = 0x300;
    return package;
}

TEST(LoadYtr, Version3EncodedBanksEachDecodeFromTheHeaderKey) {
    const test::SV3Package package = TwoBankPackage();
    const Bytes bytes = test::BuildV3(package);
    EXPECT_EQ(GetYtrLength(bytes), bytes.size());
    EXPECT_EQ(GetImageSize(bytes), 0x2000u);

    const SLoaded loaded = Load(bytes);
    ASSERT_TRUE(loaded.ok);
    // The short second bank leaves the rest of its slot zero.
    EXPECT_EQ(loaded.image, test::ImageOf(package));
    const SYTRParameter& r = loaded.record;
    EXPECT_EQ(r.HeaderCheckSum, static_cast<uint16_t>(test::ReferenceSum(loaded.image, false)));
    EXPECT_EQ(r.IdeFlashType, 4);
    EXPECT_EQ(r.AtapiFlashType, 5);
    EXPECT_EQ(r.KernelType, 1);
    EXPECT_EQ(r.MaxBankSize, 0x1000u);
    EXPECT_EQ(r.BankSizes, (std::vector<uint32_t>{0x1000, 0x6A3}));
    ASSERT_EQ(r.ReserveBlocks.size(), 3u);
    EXPECT_EQ(r.ReserveBlocks[1].Address, 0x800u);
    EXPECT_EQ(r.ReserveBlocks[2].Length, 0x10u);
    EXPECT_EQ(r.KernelAddress, 0x200u);
    EXPECT_EQ(r.KernelLength, 0x300u);
}

TEST(LoadYtr, Version3PlainOrOtherEncodingFlagIsCopiedUnchanged) {
    for (uint8_t flag : {uint8_t{0}, uint8_t{1}, uint8_t{3}}) {
        test::SV3Package package = TwoBankPackage();
        package.encoding = flag;
        package.reserveBlocks.clear();  // bank data right after the size table
        const Bytes bytes = test::BuildV3(package);
        EXPECT_EQ(bytes.size(), 56u + 8 + 0x1000 + 0x6A3);
        const SLoaded loaded = Load(bytes);
        ASSERT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.image, test::ImageOf(package));
        EXPECT_TRUE(loaded.record.ReserveBlocks.empty());
    }
}

TEST(LoadYtr, LegacyDataStartsAt64UpToEightBanksAnd112Beyond) {
    for (size_t banks : {1u, 8u, 9u, 38u}) {
        test::SLegacyPackage package;
        for (size_t i = 0; i < banks; ++i) {
            Bytes bank = test::FillerBytes(100 + 17 * i, static_cast<uint32_t>(i));
            bank[0] = 0x02;
            package.banks.push_back(bank);
        }
        const Bytes bytes = test::BuildLegacy(package);
        const size_t dataOffset = banks <= 8 ? 64 : 112;
        size_t total = dataOffset;
        for (const Bytes& b : package.banks) total += b.size();
        EXPECT_EQ(GetYtrLength(bytes), total) << banks << " banks";
        EXPECT_EQ(GetImageSize(bytes), banks * 0x10000);

        const SLoaded loaded = Load(bytes);
        ASSERT_TRUE(loaded.ok) << banks << " banks";
        EXPECT_EQ(loaded.image, test::ImageOf(package)) << banks << " banks";
        EXPECT_EQ(loaded.record.BankSizes.size(), banks);
        EXPECT_EQ(loaded.record.BankSizes.back(), package.banks.back().size());
    }
}

TEST(LoadYtr, LegacyPackagesGetTheFixedFieldsWhateverTheirHeaderHolds) {
    for (char version : {' ', '1', '2'}) {
        test::SLegacyPackage package;
        package.version = version;
        package.encoding = 2;  // only 1 means encoded in this layout
        package.banks = {test::FillerBytes(0x300, 5), test::FillerBytes(0x10, 6)};
        Bytes bytes = test::BuildLegacy(package);
        for (size_t i = 26; i < 32; ++i) bytes[i] = 0xEE;

        SLoaded loaded = Load(bytes);
        ASSERT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.image, test::ImageOf(package));
        const SYTRParameter& r = loaded.record;
        EXPECT_EQ(r.IdeFlashType, 1);
        EXPECT_EQ(r.AtapiFlashType, 1);
        EXPECT_EQ(r.KernelType, 0);
        EXPECT_EQ(r.KernelAddress, 0u);
        EXPECT_EQ(r.KernelLength, 0u);
        EXPECT_EQ(r.MaxBankSize, 0x10000u);
        ASSERT_EQ(r.ReserveBlocks.size(), 2u);
        EXPECT_EQ(r.ReserveBlocks[0].Address, 0x1FD00u);
        EXPECT_EQ(r.ReserveBlocks[0].Length, 0x300u);
        EXPECT_EQ(r.ReserveBlocks[1].Address, 0x2F800u);
        EXPECT_EQ(r.ReserveBlocks[1].Length, 0x800u);
    }
}

TEST(LoadYtr, LegacyEncodedBanksDecodeWithTheirOwnKeys) {
    test::SLegacyPackage package;
    package.encoding = 1;
    for (uint32_t i = 0; i < 3; ++i) {
        Bytes bank = test::FillerBytes(0x900 + i, i + 20);
        bank[0] = 0x02;
        package.banks.push_back(bank);
    }
    const Bytes bytes = test::BuildLegacy(package);
    const SLoaded loaded = Load(bytes);
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.image, test::ImageOf(package));
    EXPECT_EQ(loaded.record.HeaderCheckSum, static_cast<uint16_t>(test::ReferenceSum(loaded.image, false)));
}

TEST(LoadYtr, UnrecognisedContentIsNoPackage) {
    const Bytes zeros(0x1000, 0);
    EXPECT_EQ(GetImageSize(zeros), 0u);
    EXPECT_EQ(GetYtrLength(zeros), 0u);
    EXPECT_FALSE(Load(zeros).ok);

    const Bytes good = test::BuildV3(TwoBankPackage());
    Bytes version4 = good;
    version4[24] = '4';
    EXPECT_EQ(GetYtrLength(version4), 0u);
    SYTRParameter record;
    Bytes image(GetImageSize(good), 0);
    EXPECT_FALSE(LoadYtr(version4, record, image));
    Bytes noTerminator = good;
    noTerminator[16] = 'X';
    EXPECT_EQ(GetYtrLength(noTerminator), 0u);
    EXPECT_FALSE(LoadYtr(noTerminator, record, image));
    EXPECT_EQ(GetImageSize(Bytes{}), 0u);
    EXPECT_FALSE(LoadYtr(Bytes{}, record, {}));
}

TEST(LoadYtr, EveryTruncationOfAPackageFailsWithoutTouchingRecordOrImage) {
    test::SV3Package v3 = TwoBankPackage();
    v3.banks = {test::FillerBytes(0x80, 1), test::FillerBytes(0x31, 2)};
    v3.reserveBlocks = {{0x10, 0x20}};
    v3.kernelLength = 0;
    test::SLegacyPackage legacy;
    for (int i = 0; i < 9; ++i) legacy.banks.push_back(Bytes(5, 0x02));
    for (const Bytes& full : {test::BuildV3(v3), test::BuildLegacy(legacy)}) {
        const uint32_t imageSize = GetImageSize(full);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            // A copy of exactly cut bytes, so a read past them is caught by
            // the sanitizers rather than landing in the rest of the package.
            const Bytes part(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut));
            SYTRParameter record;
            record.HeaderCheckSum = 0xBEEF;
            Bytes image(imageSize, 0x5A);
            EXPECT_FALSE(LoadYtr(part, record, image)) << cut;
            EXPECT_EQ(GetYtrLength(part), 0u) << cut;
            EXPECT_EQ(record.HeaderCheckSum, 0xBEEF);
            EXPECT_TRUE(record.BankSizes.empty());
            EXPECT_EQ(std::count(image.begin(), image.end(), 0x5A), static_cast<ptrdiff_t>(imageSize));
        }
        EXPECT_TRUE(Load(full).ok);
    }
}

TEST(LoadYtr, HeadersThatLieAboutSizesAreRejected) {
    const test::SV3Package package = TwoBankPackage();
    const Bytes good = test::BuildV3(package);

    test::SV3Package fitting;
    fitting.maxBankSize = 0x100;
    fitting.banks = {test::FillerBytes(0x100, 1), test::FillerBytes(0x80, 2)};
    Bytes bankTooLarge = test::BuildV3(fitting);
    ASSERT_TRUE(Load(bankTooLarge).ok);
    test::PutLe32(bankTooLarge, 40, 0xFF);  // bank 0 now overruns its slot into bank 1's
    EXPECT_EQ(GetImageSize(bankTooLarge), 0x1FEu);
    EXPECT_EQ(GetYtrLength(bankTooLarge), 0u);
    EXPECT_FALSE(Load(bankTooLarge).ok);

    Bytes manyBanks = good;  // a size table far past the end
    test::PutLe32(manyBanks, 36, 0x40000000);
    EXPECT_EQ(GetYtrLength(manyBanks), 0u);
    EXPECT_EQ(GetImageSize(manyBanks), 0u) << "N x M overflows 32 bits";
    SYTRParameter record;
    EXPECT_FALSE(LoadYtr(manyBanks, record, {}));

    Bytes hugeStride = good;  // an image no drive has
    test::PutLe32(hugeStride, 40, 0x40000000);
    EXPECT_EQ(GetImageSize(hugeStride), 0u);
    EXPECT_EQ(GetYtrLength(hugeStride), 0u);

    // An image buffer of another size than the header implies.
    Bytes small(0x1FFF, 0);
    EXPECT_FALSE(LoadYtr(good, record, small));
    Bytes large(0x2001, 0);
    EXPECT_FALSE(LoadYtr(good, record, large));
}

TEST(LoadYtr, ReservedAndKernelBlocksPastTheImageLoadAsTheyAre) {
    test::SV3Package package = TwoBankPackage();  // a 0x2000-byte image
    package.reserveBlocks = {{0x1F00, 0x200}, {0x100, 0x10}};
    package.kernelAddress = 0x1E00;
    package.kernelLength = 0x400;
    const SLoaded loaded = Load(test::BuildV3(package));
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.image, test::ImageOf(package));
    const SYTRParameter& r = loaded.record;
    ASSERT_EQ(r.ReserveBlocks.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(r.ReserveBlocks[i].Address, package.reserveBlocks[i].Address) << i;
        EXPECT_EQ(r.ReserveBlocks[i].Length, package.reserveBlocks[i].Length) << i;
    }
    EXPECT_EQ(r.KernelAddress, 0x1E00u);
    EXPECT_EQ(r.KernelLength, 0x400u);
}

// Reserved blocks come from the file: one that starts outside the image, two
// that cover the same byte, or more of them than any drive keeps, make a
// package that does not load, in whatever order the table lists them.
TEST(LoadYtr, ReservedBlocksOutsideTheImageOrOnEachOtherAreRefused) {
    using Blocks = std::vector<SYTRReserveBlock>;
    const struct {
        const char* what;
        Blocks blocks;
        bool loads;
    } cases[] = {
        {"apart, ascending", {{0x0, 0x10}, {0x10, 0x10}, {0x1FFF, 1}}, true},
        {"apart, in any order", {{0x1000, 0x100}, {0x0, 0x10}, {0x800, 0x800}, {0x10, 0x7F0}}, true},
        {"empty blocks inside the image and inside others", {{0x100, 0x100}, {0x180, 0}, {0x180, 0}}, true},
        {"starts at the image's end", {{0x2000, 0x10}}, false},
        {"empty, at the image's end", {{0x0, 0x10}, {0x2000, 0}}, false},
        {"far beyond, after good ones", {{0x0, 0x10}, {0xFFFFFF00, 0x200}}, false},
        {"one inside the other", {{0x100, 0x100}, {0x180, 0x10}}, false},
        {"overlapping by a byte, out of order", {{0x200, 0x10}, {0x100, 0x101}, {0x0, 0x10}}, false},
        {"overlapping only where both reach past the end", {{0x1F00, 0x200}, {0x1FFF, 0x10}}, false},
        {"the same block twice", {{0x40, 0x4}, {0x40, 0x4}}, false},
        {"one over all, listed last", {{0x10, 1}, {0x20, 1}, {0x0, 0xFFFFFFFF}}, false},
        {"as many as a package may list", Blocks(kMaxReserveBlocks, {0x10, 0}), true},
        {"one more than that", Blocks(kMaxReserveBlocks + 1, {0x10, 0}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::SV3Package package = TwoBankPackage();  // a 0x2000-byte image
        package.reserveBlocks = c.blocks;
        const Bytes bytes = test::BuildV3(package);
        const SLoaded loaded = Load(bytes);
        EXPECT_EQ(loaded.ok, c.loads);
        if (!loaded.ok) {
            const auto untouched = [](uint8_t b) { return b == 0xA5; };
            EXPECT_TRUE(std::all_of(loaded.image.begin(), loaded.image.end(), untouched))
                << "the image was written before the refusal";
        }
    }
}

TEST(LoadYtr, LegacySizeTablePastOffset112IsRejected) {
    test::SLegacyPackage package;
    for (int i = 0; i < 38; ++i) package.banks.push_back(Bytes(3, 0x02));
    Bytes bytes = test::BuildLegacy(package);
    ASSERT_TRUE(Load(bytes).ok);
    test::PutLe16(bytes, 34, 39);  // the table would now overlap the bank data
    bytes.resize(bytes.size() + 1000, 0);
    EXPECT_EQ(GetYtrLength(bytes), 0u);
    EXPECT_FALSE(Load(bytes).ok);
}

TEST(LoadPhilipsImage, FillsOnlyTrailerValuesIdentificationAndImage) {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(0x4000 + 3, 11);
    file.trailer1 = 0xA1B2;
    file.trailer2 = 0xC3D4;
    const Bytes bytes = test::WithLengthPrefix(test::BuildPhilipsFile(file));
    ASSERT_TRUE(IsPhilipsImage(bytes));
    EXPECT_EQ(GetImageSize(bytes), 40u + file.image.size());
    EXPECT_EQ(GetYtrLength(bytes), 0u);

    SYTRParameter record;
    record.AtapiFlashType = 7;
    record.BankSizes = {1, 2};
    Bytes image(file.image.size(), 0);
    ASSERT_TRUE(LoadYtr(bytes, record, image));
    EXPECT_EQ(image, file.image);
    EXPECT_EQ(record.HeaderCheckSum, 0xA1B2);
    EXPECT_EQ(record.TrailerValue2, 0xC3D4);
    EXPECT_EQ(record.Identification, "Philips DVD firmware");
    EXPECT_EQ(record.AtapiFlashType, 7);
    EXPECT_EQ(record.BankSizes, (std::vector<uint32_t>{1, 2}));
}

TEST(LoadPhilipsImage, IdentificationWithoutZeroByteKeepsThirtyFiveCharacters) {
    test::SPhilipsFile file;
    file.identification = "Philips-0123456789-0123456789-ABCDEF";  // 36
    file.image = {1, 2, 3};
    const Bytes bytes = test::WithLengthPrefix(test::BuildPhilipsFile(file));
    SYTRParameter record;
    Bytes image(3, 0);
    ASSERT_TRUE(LoadPhilipsImage(bytes, record, image));
    EXPECT_EQ(record.Identification, "Philips-0123456789-0123456789-ABCDE");
}

TEST(LoadPhilipsImage, LengthsThatDoNotFitAreRejected) {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(100, 1);
    const Bytes good = test::WithLengthPrefix(test::BuildPhilipsFile(file));
    SYTRParameter record;

    Bytes under40 = good;
    test::PutBe32(under40, 0, 39);
    EXPECT_EQ(GetImageSize(under40), 0u);
    EXPECT_FALSE(LoadYtr(under40, record, {}));

    Bytes pastEnd = good;
    test::PutBe32(pastEnd, 0, static_cast<uint32_t>(good.size() - 3));  // trailer one byte short
    EXPECT_EQ(GetImageSize(pastEnd), 0u);
    Bytes image(good.size() - 3 - 40, 0);
    EXPECT_FALSE(LoadPhilipsImage(pastEnd, record, image));

    Bytes huge = good;
    test::PutBe32(huge, 0, 0xFFFFFFFF);
    EXPECT_EQ(GetImageSize(huge), 0u);

    Bytes wrongImage(99, 0);
    EXPECT_FALSE(LoadPhilipsImage(good, record, wrongImage));
    EXPECT_TRUE(record.Identification.empty());
    EXPECT_FALSE(IsPhilipsImage(Bytes(good.begin(), good.begin() + 10)));
}

TEST(PrintYtrHeader, PrintsEveryFieldInItsFormat) {
    SYTRParameter record;
    record.HeaderCheckSum = 0x3C;
    record.IdeFlashType = 4;
    record.AtapiFlashType = 3;
    record.KernelType = 5;
    record.KernelAddress = 0x1F000;
    record.KernelLength = 0x800;
    record.MaxBankSize = 0x200000;
    record.BankSizes = {0x200000, 0x1234};
    record.ReserveBlocks = {{0x1FD00, 0x300}};
    RecordingConsole console;
    ScopedConsole scope(console);
    PrintYtrHeader(record);
    EXPECT_EQ(console.Transcript(),
              "YTR Header Check Sum     : 003Ch\n"
              "IDE Flash Type           : MTK2 Type\n"
              "Atapi Flash Type         : MTK2 Type\n"
              "Atapi Flash Kernel Type  : MTK2 Type\n"
              "Atapi Flash Kernel Block : Address 0001F000h, Length 00000800h\n"
              "Max Bank Size            : 00200000h\n"
              "Total Bank               : 2\n"
              "  Bank 0  Size           : 00200000h\n"
              "  Bank 1  Size           : 00001234h\n"
              "Total Reserved Blocks    : 1\n"
              "  Reserved Block 0       : Address 0001FD00h, Length 00000300h\n");

    console.ClearTranscript();
    record.IdeFlashType = 5;
    record.AtapiFlashType = 9;
    record.KernelType = 0;
    record.BankSizes.clear();
    record.ReserveBlocks.clear();
    PrintYtrHeader(record);
    const std::string text = console.Text();
    EXPECT_NE(text.find("IDE Flash Type           : Unknown Type\n"), std::string::npos);
    EXPECT_NE(text.find("Atapi Flash Type         : Unknown Type\n"), std::string::npos);
    EXPECT_NE(text.find("Atapi Flash Kernel Type  : Not support\n"), std::string::npos);
    EXPECT_NE(text.find("Total Bank               : 0\nTotal Reserved Blocks    : 0\n"), std::string::npos);
}

}  // namespace
}  // namespace jv
