#pragma once
// The gzip stream of a trace. Text goes through zlib's deflate; the hex of a
// large data phase (a page of firmware, half a megabyte of it in a flash)
// goes through blocks of our own whose Huffman code gives every hex digit
// four or five bits, so that recording costs little more than copying the
// bytes: zlib spends some 15 ns on each hex digit of such data, and a 2 MiB
// flash would take many times the CPU of the flash itself. The stream is a
// plain gzip member that any gunzip reads; each Sync leaves it whole up to
// that point, so a file cut after it still unpacks to its last line.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

namespace jv::trace {

// Data shorter than this goes out as text: a block of our own costs about
// 50 bytes around its data.
inline constexpr size_t kOwnBlockMinimum = 256;
// Text up to this long next to such data goes out stored, not through zlib.
inline constexpr size_t kStoredTextMaximum = 1024;

class GzipLines {
public:
    GzipLines();
    ~GzipLines();
    GzipLines(const GzipLines&) = delete;
    GzipLines& operator=(const GzipLines&) = delete;

    // False when zlib could not be set up (no memory).
    bool Ready() const { return ready_; }
    void Text(std::string_view text);
    // The lower-case hex digits of the bytes, two per byte.
    void Hex(std::span<const uint8_t> bytes);
    // Everything given so far is in the output and ends on a byte boundary:
    // a reader of what was taken so far gets all of it.
    void Sync();
    // Ends the member (last block, check sum, length); nothing may follow.
    void Finish();
    // The compressed bytes made since the last call.
    std::vector<uint8_t>& Output() { return out_; }

private:
    void Deflate(int flush);
    // The held text through zlib, ended by flush.
    void Compress(int flush);
    // The held text in stored blocks, as it is.
    void Stored();
    void OwnBlock(std::span<const uint8_t> bytes);

    z_stream zlib_{};
    bool ready_ = false;
    bool finished_ = false;
    std::string held_;          // text given, not yet in the output
    bool history_ = false;      // zlib's window holds text it might point back to
    bool zlibBehind_ = false;   // bytes went out past zlib since it saw that text
    bool ownSinceSync_ = false;  // our block went out since the last Sync
    uint32_t crc_ = 0;
    uint32_t length_ = 0;  // of the text, modulo 2^32, as gzip keeps it
    std::vector<uint8_t> out_;
};

// The gzip CRC-32 of the hex digits of bytes, continued from crc as zlib's
// crc32 continues one; the same value zlib gives for the digits themselves.
uint32_t HexCrc32(uint32_t crc, std::span<const uint8_t> bytes);
// The same by tables alone: what HexCrc32 uses where the processor has no
// carry-less multiply, and for the few digits it cannot fold.
uint32_t HexCrc32Portable(uint32_t crc, std::span<const uint8_t> bytes);

// The lower-case hex digits of the bytes appended to text.
void AppendHex(std::string& text, std::span<const uint8_t> bytes);

}  // namespace jv::trace
