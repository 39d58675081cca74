#include <gtest/gtest.h>

#include <algorithm>

#include "PackageBuilder.h"
#include "package/Firmware.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

using test::Bytes;

SYTRParameter OfType(uint8_t atapiFlashType) {
    SYTRParameter record;
    record.AtapiFlashType = atapiFlashType;
    return record;
}

TEST(CalcCheckSum, SumsEveryByteAndLeavesOutTheLastEightForMtk5) {
    // Lengths on both sides of the 256-byte blocks of the fast sum.
    for (size_t length : {0u, 1u, 255u, 256u, 257u, 5000u, 0x20003u}) {
        const Bytes image = test::FillerBytes(length, static_cast<uint32_t>(length));
        EXPECT_EQ(CalcCheckSum(image, OfType(4)), test::ReferenceSum(image, false)) << length;
        EXPECT_EQ(CalcCheckSum(image, OfType(6)), test::ReferenceSum(image, true)) << length;
    }
    // Large enough that the 32-bit sum passes 16 bits many times over.
    const Bytes full(0x40000, 0xFF);
    EXPECT_EQ(CalcCheckSum(full, OfType(1)), 0x40000u * 0xFF);

    Bytes image(0x1000, 0);
    EXPECT_EQ(CalcCheckSum(image, OfType(6)), 0u);
    for (size_t i = image.size() - 8; i < image.size(); ++i) image[i] = 0xC3;
    EXPECT_EQ(CalcCheckSum(image, OfType(6)), 0u);
    EXPECT_EQ(CalcCheckSum(image, OfType(7)), 8u * 0xC3);
    const Bytes tiny = {9, 9, 9};
    EXPECT_EQ(CalcCheckSum(tiny, OfType(6)), 0u);
}

TEST(CalcFixDataCheckSum, EqualsTheImageSumWithoutBlocks) {
    const Bytes image = test::FillerBytes(0x3001, 4);
    SYTRParameter record = OfType(3);
    EXPECT_EQ(CalcFixDataCheckSum(image, record), static_cast<uint16_t>(CalcCheckSum(image, record)));
    record.KernelAddress = 0x100;  // a kernel address with length 0 takes nothing off
    EXPECT_EQ(CalcFixDataCheckSum(image, record), static_cast<uint16_t>(test::ReferenceSum(image, false)));
}

TEST(CalcFixDataCheckSum, TakesOffOverlappingBlocksOncePerBlock) {
    Bytes image(0x100, 1);
    SYTRParameter record = OfType(4);
    record.KernelAddress = 0x10;
    record.KernelLength = 0x20;  // 0x10..0x2F
    record.ReserveBlocks = {{0x20, 0x20}, {0x28, 0x04}};  // 0x20..0x3F and 0x28..0x2B
    // 256 bytes of 1, less 32 + 32 + 4 for the three blocks.
    EXPECT_EQ(CalcFixDataCheckSum(image, record), 256 - 68);

    image.assign(0x100, 0);  // below zero the 16-bit result wraps
    image[0x30] = 3;
    EXPECT_EQ(CalcFixDataCheckSum(image, record), static_cast<uint16_t>(3 - 3));
    image[0x28] = 1;
    EXPECT_EQ(CalcFixDataCheckSum(image, record), static_cast<uint16_t>(4 - 3 - 3));

    // Blocks piled higher than the image is long (no loaded package has
    // them) still come to the same, each byte taken off once per block.
    image.assign(0x100, 1);
    record.KernelLength = 0;
    record.ReserveBlocks = {{0, 0x100}, {0x80, 0x10}, {0, 0x1000}, {0xF0, 0x20}, {0x100, 0x10}, {0, 0x100}};
    EXPECT_EQ(CalcFixDataCheckSum(image, record), static_cast<uint16_t>(0x100 - 3 * 0x100 - 0x10 - 0x10));
}

TEST(CalcFixDataCheckSum, Mtk5BlocksReachingTheLastEightBytesSubtractOnlyBeforeThem) {
    Bytes image(0x100, 2);
    SYTRParameter record = OfType(6);
    record.ReserveBlocks = {{0xF0, 0x10}};  // its last 8 bytes are the tail
    EXPECT_EQ(CalcFixDataCheckSum(image, record), 2 * (0xF8 - 8));
    record.AtapiFlashType = 5;
    EXPECT_EQ(CalcFixDataCheckSum(image, record), 2 * (0x100 - 0x10));
}

TEST(CalcFixDataCheckSum, BlocksOutsideTheImageTakeOffOnlyWhatLiesInside) {
    Bytes image(0x80, 1);
    SYTRParameter record = OfType(2);
    record.KernelAddress = 0x70;
    record.KernelLength = 0x1000;                                         // 0x10 bytes inside
    record.ReserveBlocks = {{0x80, 0x10}, {0xFFFFFFF0, 0x20}, {0x7F, 0xFFFFFFFF}};  // 0, 0 and 1 inside
    EXPECT_EQ(CalcFixDataCheckSum(image, record), 0x80 - 0x10 - 1);
    EXPECT_EQ(CalcFixDataCheckSum({}, record), 0);
}

TEST(FindInfoSignatures, FindsEverySignatureInOrderWithoutReadingPastTheEnd) {
    Bytes image = test::FillerBytes(1000, 7);  // no 05 bytes of its own
    // Across the edges of the 64-byte blocks the scan tests behind a 05 byte,
    // right behind a block passed over (a lone 05 at 700), at the end of a run
    // of 05 bytes, and at the very end.
    image[700] = 0x05;
    std::fill(image.begin() + 820, image.begin() + 900, uint8_t{0x05});
    const std::vector<uint32_t> planted = {0, 62, 65, 127, 403, 500, 764, 900, 997};
    for (uint32_t p : planted) {
        image[p] = 0x05, image[p + 1] = 0x80, image[p + 2] = 0x00;
    }
    // Near misses in the same blocks: only all three bytes count.
    image[300] = 0x05, image[301] = 0x80, image[302] = 0x01;
    image[401] = 0x05, image[402] = 0x80;
    EXPECT_EQ(FindInfoSignatures(image), planted);

    // A signature cut off by the end of the image does not count.
    const Bytes cut(image.begin(), image.end() - 1);
    EXPECT_EQ(FindInfoSignatures(cut), std::vector<uint32_t>(planted.begin(), planted.end() - 1));
    EXPECT_TRUE(FindInfoSignatures(Bytes{0x05, 0x80}).empty());
    EXPECT_TRUE(FindInfoSignatures(Bytes{0x05, 0x81, 0x00, 0x04, 0x80, 0x00}).empty());
}

TEST(ImageInfo, OneBlockServesEveryFieldEvenWhenItSaysBoot) {
    Bytes image(0x200, 0);
    test::SInfoBlock block;
    block.version = "BOOT";
    test::PutInfoBlock(image, 0x40, block);
    EXPECT_EQ(GetImageHardwareId(image), "Q7");
    EXPECT_EQ(GetImageModelName(image), "ZERV    DVD-RW QLX-1600 ");
    EXPECT_EQ(GetImageVersion(image, 4), "BOOT");
    EXPECT_EQ(GetImageDateCode(image, 4), "061120");
}

TEST(ImageInfo, ABootBlockFirstSendsEveryFieldToTheSecondBlock) {
    const test::SV3Package package = test::SamplePackage();
    const Bytes image = test::ImageOf(package);
    EXPECT_EQ(FindInfoSignatures(image).size(), 2u);
    EXPECT_EQ(GetImageHardwareId(image), "Q7");
    EXPECT_EQ(GetImageModelName(image), "ZERV    DVD-RW QLX-1600 ");
    EXPECT_EQ(GetImageVersion(image, 4), "1.05");
    EXPECT_EQ(GetImageDateCode(image, 4), "061120");

    // A first block that is not a boot block is the one used.
    Bytes notBoot = image;
    notBoot[0x100 + 32] = 'b';
    EXPECT_EQ(GetImageVersion(notBoot, 4), "bOOT");
    EXPECT_EQ(GetImageDateCode(notBoot, 4), "990101");
    // Mode 7 takes version and date code from the second block regardless,
    // but hardware ID and model name still follow the boot rule.
    test::SInfoBlock first;
    first.hardwareId = "A1";
    first.version = "0.01";
    test::PutInfoBlock(notBoot, 0x100, first);
    EXPECT_EQ(GetImageVersion(notBoot, 7), "1.05");
    EXPECT_EQ(GetImageDateCode(notBoot, 7), "061120");
    EXPECT_EQ(GetImageVersion(notBoot, 6), "0.01");
    EXPECT_EQ(GetImageHardwareId(notBoot), "A1");
}

TEST(ImageInfo, MissingBlocksAndFieldsOutsideTheImageGiveEmptyText) {
    const Bytes none = test::FillerBytes(0x400, 1);
    EXPECT_EQ(GetImageHardwareId(none), "");
    EXPECT_EQ(GetImageModelName(none), "");
    EXPECT_EQ(GetImageVersion(none, 4), "");
    EXPECT_EQ(GetImageDateCode(none, 7), "");

    Bytes one(0x100, 0);
    test::PutInfoBlock(one, 0x20, test::SInfoBlock{});
    EXPECT_EQ(GetImageVersion(one, 7), "") << "mode 7 with no second block";
    EXPECT_EQ(GetImageDateCode(one, 7), "");

    // A block at the end of the image: the fields behind it are cut off.
    Bytes atEnd(0x100, 0x20);
    atEnd[0x100 - 36] = 0x05, atEnd[0x100 - 35] = 0x80, atEnd[0x100 - 34] = 0x00;
    EXPECT_EQ(GetImageModelName(atEnd), "                        ");
    EXPECT_EQ(GetImageVersion(atEnd, 4), "    ");
    EXPECT_EQ(GetImageHardwareId(atEnd), "");
    EXPECT_EQ(GetImageDateCode(atEnd, 4), "");
    // Two blocks, the first so close to the end that "BOOT" cannot be read.
    Bytes tail(0x100, 0);
    test::PutInfoBlock(tail, 0x10, test::SInfoBlock{});
    tail[0xF0] = 0x05, tail[0xF1] = 0x80, tail[0xF2] = 0x00;
    EXPECT_EQ(GetImageHardwareId(tail), "Q7");
}

TEST(ImageInfo, DateCodeTaggedDcInFrontOfTheBlockWins) {
    Bytes image(0x200, 0);
    test::SInfoBlock block;
    block.dcDateCode = "070315";
    test::PutInfoBlock(image, 0x80, block);
    EXPECT_EQ(GetImageDateCode(image, 4), "070315");
    image[0x80 - 11] = 'c';
    EXPECT_EQ(GetImageDateCode(image, 4), "061120");

    // Too close to the start for a tag: nothing before the image is read.
    Bytes early(0x100, 0);
    test::PutInfoBlock(early, 11, test::SInfoBlock{});
    early[0] = 'C';
    EXPECT_EQ(GetImageDateCode(early, 4), "061120");
}

TEST(ImageInfo, FieldsEndAtTheirFirstZeroByte) {
    Bytes image(0x100, 0);
    test::SInfoBlock block;
    block.modelName = "ZERV QLX-1600 DVD-RW    ";
    test::PutInfoBlock(image, 0, block);
    image[5] = 0x41;  // outside the field: no effect
    image[8 + 5] = 0;
    EXPECT_EQ(GetImageModelName(image), "ZERV ");
    image[38 + 1] = 0;
    EXPECT_EQ(GetImageHardwareId(image), "Q");
}

TEST(PrintFirmwareInfo, PrintsSumAndTheFourFields) {
    const test::SV3Package package = test::SamplePackage();
    const Bytes image = test::ImageOf(package);
    SYTRParameter record = OfType(7);
    RecordingConsole console;
    ScopedConsole scope(console);
    PrintFirmwareInfo(image, record);
    char sum[8];
    std::snprintf(sum, sizeof sum, "%04X", test::ReferenceSum(image, false) & 0xFFFF);
    EXPECT_EQ(console.Transcript(), std::string("Calculated Check Sum     : ") + sum +
                                        "h\n"
                                        "Hardware ID              : Q7\n"
                                        "Model Name               : ZERV    DVD-RW QLX-1600 \n"
                                        "Version                  : 1.05\n"
                                        "Date Code                : 061120\n");
}

}  // namespace
}  // namespace jv
