#include "trace/GzipLines.h"

#include <array>
#include <cstring>

namespace jv::trace {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The code of our blocks covers the sixteen hex digits and the end of the
// block, nothing else: fifteen digits get four bits and '9' and the end five
// (a complete code, as inflate wants). Random bytes then take 8.125 bits
// each, firmware about as much.
constexpr int kLongDigit = 9;
constexpr uint32_t kEndOfBlock = 256;

constexpr uint32_t Reversed(uint32_t code, int length) {
    uint32_t reversed = 0;
    for (int i = 0; i < length; ++i) reversed = reversed << 1 | ((code >> i) & 1u);
    return reversed;
}

// Canonical codes: the four-bit digits in symbol order take 0 to 14, then
// '9' takes 30 and the end of the block 31 (five bits). Deflate sends a code
// from its top bit, the bit writer from the bottom: the codes are reversed.
constexpr int DigitLength(int digit) { return digit == kLongDigit ? 5 : 4; }
constexpr uint32_t DigitCode(int digit) {
    if (digit == kLongDigit) return Reversed(30, 5);
    return Reversed(static_cast<uint32_t>(digit < kLongDigit ? digit : digit - 1), 4);
}
constexpr uint32_t kEndCode = Reversed(31, 5);
constexpr int kEndLength = 5;

struct SByteTables {
    std::array<uint16_t, 256> pair{};  // both digits, the first in the low byte
    std::array<uint32_t, 256> code{};  // both digits' codes, the first in the low bits
    std::array<uint8_t, 256> bits{};
};

constexpr SByteTables MakeByteTables() {
    SByteTables t;
    for (int b = 0; b < 256; ++b) {
        const int high = b >> 4;
        const int low = b & 15;
        t.pair[b] = static_cast<uint16_t>(static_cast<uint8_t>(kDigits[high]) |
                                          static_cast<uint8_t>(kDigits[low]) << 8);
        t.code[b] = DigitCode(high) | DigitCode(low) << DigitLength(high);
        t.bits[b] = static_cast<uint8_t>(DigitLength(high) + DigitLength(low));
    }
    return t;
}
constexpr SByteTables kBytes = MakeByteTables();

// The block header: BFINAL 0, BTYPE 2 (dynamic codes), 257 literal/length
// codes (no lengths: our blocks repeat nothing), one distance code (of no
// bits: none is used), and the code lengths sent with a code-length code of
// its own: length 0 in one bit, 4 and 5 in two.
struct SHeader {
    std::array<uint8_t, 64> bytes{};
    int bits = 0;
    constexpr void Put(uint32_t value, int count) {
        for (int i = 0; i < count; ++i, ++bits) {
            if ((value >> i) & 1u) bytes[static_cast<size_t>(bits / 8)] |= static_cast<uint8_t>(1u << (bits % 8));
        }
    }
};

constexpr SHeader MakeHeader() {
    SHeader h;
    h.Put(0, 1);  // not the last block
    h.Put(2, 2);  // dynamic Huffman codes
    h.Put(0, 5);  // HLIT: 257 literal/length codes
    h.Put(0, 5);  // HDIST: one distance code
    // The code-length code's lengths go in this order; ours reach up to 4,
    // the twelfth, so HCLEN says 12.
    constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    h.Put(12 - 4, 4);
    for (int i = 0; i < 12; ++i) {
        const int symbol = kOrder[i];
        h.Put(symbol == 0 ? 1u : symbol == 4 || symbol == 5 ? 2u : 0u, 3);
    }
    // Canonical code-length code: 0 is "0", 4 is "10", 5 is "11".
    const auto putLength = [&h](int length) {
        if (length == 0) h.Put(0, 1);
        else h.Put(Reversed(length == 4 ? 2u : 3u, 2), 2);
    };
    for (uint32_t symbol = 0; symbol <= kEndOfBlock; ++symbol) {
        int length = 0;
        for (int digit = 0; digit < 16; ++digit) {
            if (static_cast<uint8_t>(kDigits[digit]) == symbol) length = DigitLength(digit);
        }
        if (symbol == kEndOfBlock) length = kEndLength;
        putLength(length);
    }
    putLength(0);  // the one distance code is unused
    return h;
}
constexpr SHeader kHeader = MakeHeader();

// CRC-32 (the gzip polynomial, reflected) by slices of eight bytes: table k
// moves a byte over k more bytes of zeros.
struct SCrcTables {
    std::array<std::array<uint32_t, 256>, 8> slice{};
    // The two digits of a byte as bytes 4-5 and 6-7 of a slice.
    std::array<uint32_t, 256> digitsAt4{};
    std::array<uint32_t, 256> digitsAt6{};
};

constexpr SCrcTables MakeCrcTables() {
    SCrcTables t;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t.slice[0][i] = c;
    }
    for (size_t k = 1; k < 8; ++k) {
        for (size_t i = 0; i < 256; ++i) {
            const uint32_t previous = t.slice[k - 1][i];
            t.slice[k][i] = (previous >> 8) ^ t.slice[0][previous & 0xFFu];
        }
    }
    for (int b = 0; b < 256; ++b) {
        const auto high = static_cast<uint8_t>(kDigits[b >> 4]);
        const auto low = static_cast<uint8_t>(kDigits[b & 15]);
        t.digitsAt4[static_cast<size_t>(b)] = t.slice[3][high] ^ t.slice[2][low];
        t.digitsAt6[static_cast<size_t>(b)] = t.slice[1][high] ^ t.slice[0][low];
    }
    return t;
}
constexpr SCrcTables kCrc = MakeCrcTables();

uint32_t CrcByte(uint32_t crc, uint8_t byte) { return (crc >> 8) ^ kCrc.slice[0][(crc ^ byte) & 0xFFu]; }

void StoreLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The gzip header: deflate, no name, no time (the same trace gives the same
// bytes), "unknown" system.
constexpr uint8_t kGzipHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF};

}  // namespace

uint32_t HexCrc32(uint32_t crc, std::span<const uint8_t> bytes) {
    crc = ~crc;
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    // Four bytes make eight digits: one slice of eight.
    for (; left >= 4; left -= 4, p += 4) {
        const uint32_t x = crc ^ (uint32_t{kBytes.pair[p[0]]} | uint32_t{kBytes.pair[p[1]]} << 16);
        crc = kCrc.slice[7][x & 0xFFu] ^ kCrc.slice[6][(x >> 8) & 0xFFu] ^ kCrc.slice[5][(x >> 16) & 0xFFu] ^
              kCrc.slice[4][x >> 24] ^ kCrc.digitsAt4[p[2]] ^ kCrc.digitsAt6[p[3]];
    }
    for (; left > 0; --left, ++p) {
        crc = CrcByte(crc, static_cast<uint8_t>(kBytes.pair[*p] & 0xFFu));
        crc = CrcByte(crc, static_cast<uint8_t>(kBytes.pair[*p] >> 8));
    }
    return ~crc;
}

void AppendHex(std::string& text, std::span<const uint8_t> bytes) {
    const size_t at = text.size();
    text.resize(at + 2 * bytes.size());
    char* out = text.data() + at;
    for (uint8_t b : bytes) {
        std::memcpy(out, &kBytes.pair[b], 2);
        out += 2;
    }
}

GzipLines::GzipLines() {
    // Raw deflate: the gzip header and trailer are ours, as our own blocks
    // are part of what the check sum covers. Level 1: text here is short
    // and alike from line to line, and recording must stay cheap.
    ready_ = deflateInit2(&zlib_, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    if (ready_) out_.assign(std::begin(kGzipHeader), std::end(kGzipHeader));
}

GzipLines::~GzipLines() {
    if (ready_) deflateEnd(&zlib_);
}

void GzipLines::Deflate(int flush) {
    // Room for what zlib may give back at once; it says when it wants more.
    const size_t start = out_.size();
    size_t used = start;
    out_.resize(start + deflateBound(&zlib_, zlib_.avail_in) + 64);
    for (;;) {
        zlib_.next_out = out_.data() + used;
        zlib_.avail_out = static_cast<uInt>(out_.size() - used);
        deflate(&zlib_, flush);
        used = out_.size() - zlib_.avail_out;
        if (zlib_.avail_out != 0) break;
        out_.resize(out_.size() * 2);
    }
    out_.resize(used);
}

void GzipLines::Text(std::string_view text) {
    if (!ready_ || finished_ || text.empty()) return;
    crc_ = static_cast<uint32_t>(crc32(crc_, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    length_ += static_cast<uint32_t>(text.size());
    zlib_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zlib_.avail_in = static_cast<uInt>(text.size());
    Deflate(Z_NO_FLUSH);
    zlib_.next_in = nullptr;
    pendingText_ = true;
    history_ = true;
}

void GzipLines::Hex(std::span<const uint8_t> bytes) {
    if (!ready_ || finished_ || bytes.empty()) return;
    if (bytes.size() < kOwnBlockMinimum) {
        std::string digits;
        AppendHex(digits, bytes);
        Text(digits);
        return;
    }
    OwnBlock(bytes);
}

void GzipLines::OwnBlock(std::span<const uint8_t> bytes) {
    // zlib's text goes out first and ends on a byte boundary; zlib then
    // forgets what it saw, as nothing it sends later may point back across
    // our block, which it knows nothing of.
    if (pendingText_) {
        Deflate(Z_FULL_FLUSH);
    } else if (history_) {
        deflateReset(&zlib_);
    }
    pendingText_ = false;
    history_ = false;
    crc_ = HexCrc32(crc_, bytes);
    length_ += static_cast<uint32_t>(2 * bytes.size());

    // At most ten bits a byte, the header, the end and the empty stored
    // block behind it, and eight bytes that each store may write ahead.
    const size_t start = out_.size();
    out_.resize(start + bytes.size() * 10 / 8 + sizeof kHeader.bytes + 32);
    uint8_t* o = out_.data() + start;
    std::memcpy(o, kHeader.bytes.data(), static_cast<size_t>(kHeader.bits / 8));
    o += kHeader.bits / 8;
    uint64_t acc = kHeader.bits % 8 ? kHeader.bytes[static_cast<size_t>(kHeader.bits / 8)] : 0;
    unsigned filled = static_cast<unsigned>(kHeader.bits % 8);

    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    // Four bytes are at most 40 bits; with fewer than 8 held, 47 fit.
    for (; left >= 4; left -= 4, p += 4) {
        const unsigned b0 = kBytes.bits[p[0]];
        const unsigned b1 = kBytes.bits[p[1]];
        const unsigned b2 = kBytes.bits[p[2]];
        const uint64_t group = uint64_t{kBytes.code[p[0]]} | uint64_t{kBytes.code[p[1]]} << b0 |
                               uint64_t{kBytes.code[p[2]]} << (b0 + b1) |
                               uint64_t{kBytes.code[p[3]]} << (b0 + b1 + b2);
        acc |= group << filled;
        filled += b0 + b1 + b2 + kBytes.bits[p[3]];
        std::memcpy(o, &acc, 8);  // little-endian hosts only: x86, as every build here is
        o += filled / 8;
        acc = filled >= 64 ? 0 : acc >> (filled / 8 * 8);
        filled %= 8;
    }
    const auto put = [&](uint32_t code, unsigned count) {
        acc |= uint64_t{code} << filled;
        filled += count;
        while (filled >= 8) {
            *o++ = static_cast<uint8_t>(acc);
            acc >>= 8;
            filled -= 8;
        }
    };
    for (; left > 0; --left, ++p) put(kBytes.code[*p], kBytes.bits[*p]);
    put(kEndCode, kEndLength);
    // An empty stored block brings the stream to a byte boundary, as
    // zlib's own flush does, so a reader of the file so far gets it all.
    put(0, 3);
    if (filled > 0) put(0, 8 - filled);
    const uint8_t stored[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(o, stored, 4);
    o += 4;
    out_.resize(static_cast<size_t>(o - out_.data()));
}

void GzipLines::Sync() {
    if (!ready_ || finished_ || !pendingText_) return;
    Deflate(Z_SYNC_FLUSH);
    pendingText_ = false;
}

void GzipLines::Finish() {
    if (!ready_ || finished_) return;
    zlib_.avail_in = 0;
    Deflate(Z_FINISH);
    finished_ = true;
    uint8_t trailer[8];
    StoreLe32(trailer, crc_);
    StoreLe32(trailer + 4, length_);
    out_.insert(out_.end(), trailer, trailer + 8);
}

}  // namespace jv::trace
