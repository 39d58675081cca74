#pragma once
// The ATAPI flash protocols: the drive's own firmware takes the image over
// the command channel and programs its flash itself. The host cuts the image
// into pieces, sends them, starts the flashing and waits for the drive.
//
// A protocol never prints its failure; it returns the text for its caller.
// A command that carries a page or chunk of the image must be taken: any
// failure ends the protocol with its write failure text ("Flash Fail ! (1)"
// or "Write Buffer Fail !"). The commands that switch the drive into taking
// the image or start its programming (and the ALI pages, the last of which
// starts it) may be held unanswered by a drive that is busy writing: a
// refusal the drive states ends the protocol with the same text, since the
// drive then keeps its old firmware and would otherwise look like one that
// finished; a time-out, a reset or a busy drive goes on to the progress poll
// and the ready wait, so the user is never told the flash failed while the
// drive may still be writing.
// Every piece that would reach past the image's end goes out from a
// zero-padded copy, so the caller's buffer is never read beyond its end.
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "drive/Winfunc.h"
#include "flash/Flashknl.h"
#include "package/Ytr.h"

namespace jv {

// Vendor command blocks of the flash protocols; the *Command builders below
// patch a copy with the fields of one command.
inline constexpr CommandBlock kCmdWriteFlashPage{0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x05, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdStartFlash{0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x04, 0, 0x00, 0x80, 0, 0};
inline constexpr CommandBlock kCmdReadFlashBlock{0x5A, 0, 0x38, 0x5A, 0x45, 0x11, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdWriteKernelPiece{0x5A, 0, 0x38, 0x5A, 0x45, 0xA2, 0, 0, 0, 0, 0x00, 0x80};
inline constexpr CommandBlock kCmdWriteAliPage{0xFD, 0x07, 0x42, 0x45, 0x4E, 0x51, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdMtk7Chunk{0x3B, 0x06, 0, 0, 0, 0, 0, 0x40, 0x00, 0, 0, 0};
inline constexpr CommandBlock kCmdMtk7Save{0x3B, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

inline constexpr uint32_t kFlashPageStride = 0x10000;
inline constexpr uint32_t kStartFlashDataLength = 128;
inline constexpr uint32_t kFlashBlockLength = 256;
inline constexpr uint32_t kKernelPieceLength = 128;
inline constexpr uint32_t kAliPageLength = 16384;
inline constexpr uint32_t kChunkLength = 16384;
inline constexpr uint32_t kMtk6HalfLength = 32768;
inline constexpr uint32_t kKernelReportLength = 0x10000;
// Kernel lengths past this overflow the 16-bit round-up of the read-back;
// bank sizes past this no longer fit the 16-bit length field once made even.
inline constexpr uint32_t kMaxKernelLength = 0xFF00;
inline constexpr uint32_t kMaxBankLength = 0xFFFE;
inline constexpr int kReadBlockRepeats = 10;
// MTK5 sends at most two passes of this many 64 KB blocks.
inline constexpr int32_t kMtk5PassBlocks = 16;
// MTK7 sends the first two 64 KB blocks, whatever the image's length.
inline constexpr uint64_t kMtk7Reach = 2ull * kFlashPageStride;

CommandBlock WriteFlashPageCommand(uint8_t number, uint16_t field);
CommandBlock StartFlashCommand(bool withProgress, uint8_t pagesSent, uint16_t headerCheckSum);
CommandBlock ReadFlashBlockCommand(uint16_t offset, uint8_t page);
CommandBlock WriteKernelPieceCommand(uint8_t bank, uint16_t address);
CommandBlock WriteAliPageCommand(uint16_t pageSum, uint16_t imageSum, uint8_t page, uint8_t count);
CommandBlock Mtk7ChunkCommand(uint8_t block, uint8_t offset256);
CommandBlock Mtk7SaveCommand(uint8_t block);

// (drive, image, length, parameter, immediate, silent, updater)
using AtapiFlashRoutine = FlashResult (*)(EDriveIndex, std::span<uint8_t>, uint32_t, SYTRParameter, bool, bool,
                                          bool);
struct SFlashReadReport;
// (drive, length, buffer, silent, report)
using FlashReadRoutine = bool (*)(EDriveIndex, uint32_t, std::span<uint8_t>, bool, SFlashReadReport*);

// Fills both protocol slots for a type of the ATAPI flash type table (other
// values leave them as they were), then prints "\r".
void SelectAtapiProtocol(uint8_t atapiFlashType);
// The slots as last filled; null before the first selection.
AtapiFlashRoutine SelectedFlashRoutine();
FlashReadRoutine SelectedReadRoutine();

// Picks the protocol of the package, announces the update and runs it.
FlashResult FlashAtapi(EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                       const SYTRParameter& parameter, const SFlashOptions& options, bool updater);

// The page protocol members write a 0x00 behind each bank's data into the
// image when they send bank by bank.
FlashResult FlashMtk(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                     bool immediate, bool silent, bool updater);
FlashResult FlashAli(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                     bool immediate, bool silent, bool updater);
FlashResult FlashMtk2(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);
FlashResult FlashMtk3(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);
FlashResult FlashMtk4(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);
FlashResult FlashMtk5(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);
FlashResult FlashMtk6(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);
FlashResult FlashMtk7(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater);

// What a read-back tells its caller besides success: the flash address of
// the block that failed and why its last try failed ("the drive returned
// 128 of 256 bytes", or the drive's reason), and (unless silent) its
// progress after every block as bytes read so far out of the rounded length.
struct SFlashReadReport {
    uint32_t failedAt = 0;
    std::string why;
    std::function<void(uint32_t done, uint32_t total)> progress;
};
// The read command names a 64 KB page in one byte: nothing beyond 16 MiB
// can be read back.
inline constexpr uint64_t kMaxFlashReadLength = 256ull * kFlashPageStride;

// Reads the drive's flash back 256 bytes at a time (length rounded up to a
// whole block; nothing written past the buffer's end). A block the drive
// answers GOOD with fewer bytes than asked is read again like a refused one:
// the rest would be no flash byte. False when one block still fails after
// kReadBlockRepeats repeats, and at once, before any command, for a length
// beyond kMaxFlashReadLength.
bool ReadFlashImage(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent,
                    SFlashReadReport* report = nullptr);

}  // namespace jv
