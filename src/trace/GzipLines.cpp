#include "trace/GzipLines.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// Carry-less multiplication folds the digits 64 at a time into four
// 128-bit lanes, then into one, then down to 32 bits by Barrett reduction
// (the constants are powers of x modulo the reflected gzip polynomial).
// The digits are made in the registers from the bytes and never stored.
// SSE2 and PCLMULQDQ only; the caller has checked the processor has it.

__attribute__((target("sse2,pclmul"))) inline __m128i DigitsOf8(__m128i bytes) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    const __m128i low = _mm_and_si128(bytes, nibble);
    const __m128i values = _mm_unpacklo_epi8(high, low);
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(values, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(values, _mm_set1_epi8('0')), letter);
}

__attribute__((target("sse2,pclmul"))) inline __m128i Fold(__m128i lane, __m128i next, __m128i k) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)),
                         next);
}

// The state (the inverted CRC) after the digits of the bytes, which hold
// at least 32 and a multiple of 8.
__attribute__((target("sse2,pclmul"))) uint32_t HexCrcFolded(uint32_t state, const uint8_t* p, size_t size) {
    const __m128i byFour = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);
    const __m128i byOne = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);
    const auto digits = [](const uint8_t* at, __m128i& first, __m128i& second) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        first = DigitsOf8(bytes);
        second = DigitsOf8(_mm_srli_si128(bytes, 8));
    };
    __m128i x1, x2, x3, x4;
    digits(p, x1, x2);
    digits(p + 16, x3, x4);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(state)));
    p += 32;
    size -= 32;
    for (; size >= 32; size -= 32, p += 32) {
        __m128i y1, y2, y3, y4;
        digits(p, y1, y2);
        digits(p + 16, y3, y4);
        x1 = Fold(x1, y1, byFour);
        x2 = Fold(x2, y2, byFour);
        x3 = Fold(x3, y3, byFour);
        x4 = Fold(x4, y4, byFour);
    }
    x1 = Fold(x1, x2, byOne);
    x1 = Fold(x1, x3, byOne);
    x1 = Fold(x1, x4, byOne);
    for (; size >= 8; size -= 8, p += 8) {
        x1 = Fold(x1, DigitsOf8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))), byOne);
    }
    // 128 bits to 64, then to 32.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, byOne, 0x10));
    const __m128i k5 = _mm_set_epi64x(0, 0x0163CD6124);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));
    const __m128i poly = _mm_set_epi64x(0x01F7011641, 0x01DB710641);
    __m128i barrett = _mm_and_si128(x1, low32);
    barrett = _mm_clmulepi64_si128(barrett, poly, 0x10);
    barrett = _mm_and_si128(barrett, low32);
    barrett = _mm_clmulepi64_si128(barrett, poly, 0x00);
    x1 = _mm_xor_si128(x1, barrett);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool HasCarrylessMultiply() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") != 0;
    }();
    return has;
}
#endif

}  // namespace

uint32_t HexCrc32(uint32_t crc, std::span<const uint8_t> bytes) {
#if defined(__x86_64__)
    if (bytes.size() >= 32 && HasCarrylessMultiply()) {
        const size_t folded = bytes.size() & ~size_t{7};
        const uint32_t state = HexCrcFolded(~crc, bytes.data(), folded);
        return HexCrc32Portable(~state, bytes.subspan(folded));
    }
#endif
    return HexCrc32Portable(crc, bytes);
}

uint32_t HexCrc32Portable(uint32_t crc, std::span<const uint8_t> bytes) {
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
    // and alike from line to line, and recording must stay cheap. A small
    // hash (memory level 5) for the same reason: zlib clears all of it each
    // time it starts afresh after our blocks, once for each command with data.
    ready_ = deflateInit2(&zlib_, Z_BEST_SPEED, Z_DEFLATED, -15, 5, Z_DEFAULT_STRATEGY) == Z_OK;
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
    held_.append(text);
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

void GzipLines::Compress(int flush) {
    // zlib must not point back into what went out past it.
    if (zlibBehind_) deflateReset(&zlib_);
    zlibBehind_ = false;
    zlib_.next_in = reinterpret_cast<Bytef*>(held_.data());
    zlib_.avail_in = static_cast<uInt>(held_.size());
    Deflate(flush);
    zlib_.next_in = nullptr;
    held_.clear();
    history_ = flush != Z_FULL_FLUSH;
}

void GzipLines::Stored() {
    // Each piece starts on a byte boundary: every block before it ended on one.
    for (size_t at = 0; at < held_.size();) {
        const size_t piece = std::min<size_t>(held_.size() - at, 0xFFFF);
        const auto length = static_cast<uint16_t>(piece);
        const uint8_t head[5] = {0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                 static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)};
        out_.insert(out_.end(), head, head + 5);
        out_.insert(out_.end(), held_.begin() + static_cast<std::ptrdiff_t>(at),
                    held_.begin() + static_cast<std::ptrdiff_t>(at + piece));
        at += piece;
    }
    held_.clear();
    if (history_) zlibBehind_ = true;
}

void GzipLines::OwnBlock(std::span<const uint8_t> bytes) {
    // The text before the data goes out first and ends on a byte boundary.
    // The few words that open a command's data cost zlib a block of its own
    // and a flush, which cost more than the data's hex: they go as they are.
    if (held_.size() > kStoredTextMaximum) {
        Compress(Z_FULL_FLUSH);
    } else {
        Stored();
    }
    if (history_) zlibBehind_ = true;
    ownSinceSync_ = true;
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
    if (!ready_ || finished_) return;
    // The close of a line whose data went out in our block goes as it is
    // too: zlib would have to start afresh for it.
    if (ownSinceSync_ && held_.size() <= kStoredTextMaximum) {
        Stored();
    } else if (!held_.empty()) {
        Compress(Z_SYNC_FLUSH);
    }
    ownSinceSync_ = false;
}

void GzipLines::Finish() {
    if (!ready_ || finished_) return;
    Compress(Z_FINISH);
    finished_ = true;
    uint8_t trailer[8];
    StoreLe32(trailer, crc_);
    StoreLe32(trailer + 4, length_);
    out_.insert(out_.end(), trailer, trailer + 8);
}

}  // namespace jv::trace
