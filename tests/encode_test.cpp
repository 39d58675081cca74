#include <gtest/gtest.h>

#include "PackageBuilder.h"
#include "package/Encode.h"

namespace jv {
namespace {

using test::Bytes;

TEST(EncodeBytes, KeyStepsAfterEveryEighthByte) {
    Bytes bytes(16, 0);
    EncodeBytes(bytes, 0x10);
    // Byte i of the first group is key + 57 i; the ninth byte starts again
    // from key x 35 = 0x230, i.e. 0x30.
    const Bytes expected = {0x10, 0x49, 0x82, 0xBB, 0xF4, 0x2D, 0x66, 0x9F,
                            0x30, 0x69, 0xA2, 0xDB, 0x14, 0x4D, 0x86, 0xBF};
    EXPECT_EQ(bytes, expected);

    Bytes empty;
    EncodeBytes(empty, 0x10);
    EXPECT_TRUE(empty.empty());
}

TEST(EncodeBytes, MatchesThePlainTransformAtEveryLengthAndKey) {
    // Lengths around the 512-byte repeat of the key sequence, where a fast
    // implementation could go wrong.
    for (size_t length : {1u, 7u, 8u, 9u, 63u, 511u, 512u, 513u, 1024u, 1031u, 4099u}) {
        for (unsigned key : {0u, 1u, 0x35u, 0x80u, 0xFFu}) {
            const Bytes input = test::FillerBytes(length, static_cast<uint32_t>(length + key));
            Bytes fast = input;
            Bytes plain = input;
            EncodeBytes(fast, static_cast<uint8_t>(key));
            test::ReferenceEncode(plain, static_cast<uint8_t>(key));
            ASSERT_EQ(fast, plain) << "length " << length << " key " << key;
            EncodeBytes(fast, static_cast<uint8_t>(key));
            ASSERT_EQ(fast, input) << "applying it twice restores the input";
        }
    }
}

TEST(EncodeBytes, TransformsOnlyTheBytesOfTheSpan) {
    Bytes bytes(40, 0xAA);
    EncodeBytes(std::span<uint8_t>(bytes).subspan(8, 20), 0x42);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], 0xAA);
    for (size_t i = 28; i < 40; ++i) EXPECT_EQ(bytes[i], 0xAA);
    EXPECT_EQ(bytes[8], static_cast<uint8_t>(0x42 - 0xAA));
}

TEST(EncodeBankSelfKeyed, UsesTheFirstByteAsKeyAndAlwaysYieldsTwoThere) {
    Bytes plain = test::FillerBytes(300, 9);
    plain[0] = 0x02;
    Bytes stored = plain;
    test::ReferenceEncode(stored, 0x77);
    EXPECT_EQ(stored[0], 0x75);

    Bytes decoded = stored;
    EncodeBankSelfKeyed(decoded);
    EXPECT_EQ(decoded, plain);

    Bytes other = test::FillerBytes(20, 3);
    Bytes byKey = other;
    EncodeBankSelfKeyed(other);
    EncodeBytes(byKey, static_cast<uint8_t>(byKey[0] + 2));
    EXPECT_EQ(other, byKey);
    EXPECT_EQ(other[0], 0x02);

    Bytes empty;
    EncodeBankSelfKeyed(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(GetEncodeKey, TakesTheHeaderBytesUnsignedAndKeepsTheLowByte) {
    Bytes header(32, 0);
    header[28] = 3, header[29] = 1, header[30] = 4, header[31] = 10;  // (1 - 4) x 3 + 10
    EXPECT_EQ(GetEncodeKey(header), 1);
    header[28] = 0xFF, header[29] = 0xFF, header[30] = 0x00, header[31] = 0xFF;  // 65,280
    EXPECT_EQ(GetEncodeKey(header), 0);
    header[28] = 0x81, header[29] = 0x02, header[30] = 0x01, header[31] = 0x90;
    EXPECT_EQ(GetEncodeKey(header), 0x11);
    EXPECT_EQ(GetEncodeKey(std::span<const uint8_t>(header).first(31)), 0);
}

}  // namespace
}  // namespace jv
