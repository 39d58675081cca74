#pragma once
// Firmware package loader: the version 3 layout, the legacy layouts (" ",
// "1", "2") and the length-prefixed Philips-format image.
//
// Every routine here takes the bytes it reads as a span that carries their
// real size. A header that claims more than those bytes hold, or more than the
// image the caller allocated, makes the loader fail before it copies anything.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jv {

// Every package begins with this magic, its zero byte included.
inline constexpr std::string_view kYtrMagic{"ZERV FILE SYSTEM\0", 17};

struct SYTRReserveBlock {
    uint32_t Address = 0;  // offset into the image
    uint32_t Length = 0;   // bytes
};

struct SYTRParameter {
    uint16_t HeaderCheckSum = 0;  // header bytes 32-33, or a Philips image's first trailer value
    uint16_t TrailerValue2 = 0;   // Philips image only
    uint8_t IdeFlashType = 0;
    uint8_t AtapiFlashType = 0;
    uint8_t KernelType = 0;  // 0: no ATAPI flash kernel
    std::vector<SYTRReserveBlock> ReserveBlocks;
    uint32_t MaxBankSize = 0;  // the bank stride in the image
    std::vector<uint32_t> BankSizes;
    uint32_t KernelAddress = 0;
    uint32_t KernelLength = 0;
    std::string Identification;  // Philips image only
};

// The ATAPI flash type codes a package header carries (its AtapiFlashType
// byte, which may hold any value); the flash engines keep a row for each
// but None, with the routine that sends the image and the bytes it sends.
enum class EAtapiFlashType : uint8_t { None = 0, Mtk = 1, Ali = 2, Mtk2 = 3, Mtk3 = 4, Mtk4 = 5, Mtk5 = 6, Mtk6 = 7, Mtk7 = 8 };
// The codes as the header byte holds them.
inline constexpr uint8_t kAtapiMtk = static_cast<uint8_t>(EAtapiFlashType::Mtk);
inline constexpr uint8_t kAtapiAli = static_cast<uint8_t>(EAtapiFlashType::Ali);
inline constexpr uint8_t kAtapiMtk2 = static_cast<uint8_t>(EAtapiFlashType::Mtk2);
inline constexpr uint8_t kAtapiMtk3 = static_cast<uint8_t>(EAtapiFlashType::Mtk3);
inline constexpr uint8_t kAtapiMtk4 = static_cast<uint8_t>(EAtapiFlashType::Mtk4);
inline constexpr uint8_t kAtapiMtk5 = static_cast<uint8_t>(EAtapiFlashType::Mtk5);
inline constexpr uint8_t kAtapiMtk6 = static_cast<uint8_t>(EAtapiFlashType::Mtk6);
inline constexpr uint8_t kAtapiMtk7 = static_cast<uint8_t>(EAtapiFlashType::Mtk7);

// Legacy packages: fixed bank stride and the two blocks every one of them keeps.
inline constexpr uint32_t kLegacyBankSize = 0x10000;
inline constexpr SYTRReserveBlock kLegacyReserveBlocks[] = {{0x1FD00, 0x300}, {0x2F800, 0x800}};

// No drive's flash comes near this; a header asking for a larger image lies,
// and must not make the caller allocate gigabytes for it.
inline constexpr uint32_t kMaxImageSize = 64u * 1024 * 1024;

// Reserved blocks keep a drive's own data (a handful of small areas) from
// being overwritten, each read back from the chip on its own on the IDE
// route; a header listing more than this lies, and is not loaded: every
// block costs the loader and the sums a step at some random place of the
// image, and millions of them would cost far more than the image itself.
inline constexpr uint32_t kMaxReserveBlocks = 65536;

// Names used by the header print-out; codes without a name give "Unknown Type".
// The names stay with the package format rather than in the flash engines'
// table of ATAPI types: the loader and its print-out are linked into tools
// that carry no drive code.
std::string_view IdeFlashTypeName(uint8_t code);
std::string_view AtapiFlashTypeName(uint8_t code);

// True when bytes 4 to 10 read "Philips".
bool IsPhilipsImage(std::span<const uint8_t> bytes);

// The size of the image buffer to allocate: a Philips image's length prefix L
// (the caller subtracts 40), N x M for format version "3", otherwise the
// 16-bit value at offset 34 times 65,536. No magic check, so all-zero bytes
// give 0, which means "no package". Also 0 when the fields lie outside the
// bytes, a Philips length is under 40 or runs past the bytes, or the size
// overflows or exceeds kMaxImageSize.
uint32_t GetImageSize(std::span<const uint8_t> bytes);

// The package length computed from the header; 0 for content that is not a
// version 3 or legacy package, and for a header whose tables or bank data do
// not fit in the bytes supplied or that lists more than kMaxReserveBlocks
// reserved blocks (such a package could never be loaded).
uint32_t GetYtrLength(std::span<const uint8_t> bytes);

// Fills the record and the image (exactly GetImageSize bytes) from a package
// or a length-prefixed Philips image. Every byte of the image is written: the
// bytes of a bank's slot past its size become zero, so the caller need not
// clear the image first. Returns false, touching neither record nor image,
// when the bytes are not recognised or the header lies about anything the
// bytes or the image can hold. A version 3 package with more than
// kMaxReserveBlocks reserved blocks, or whose reserved blocks start outside
// the image or cover a byte twice, does not load; a reserved or
// kernel block that only reaches past the image's end is taken as it is:
// its users clip.
bool LoadYtr(std::span<const uint8_t> bytes, SYTRParameter& record, std::span<uint8_t> image);

// Whether a version 3 package may carry these reserved blocks over an image
// of imageSize bytes: no more than kMaxReserveBlocks, each starting inside
// the image (it may reach past its end), no two covering the same byte (a
// block of length 0 covers none).
bool ReserveBlocksFit(std::span<const SYTRReserveBlock> blocks, uint32_t imageSize);

// A length-prefixed Philips image; the image must be exactly L - 40 bytes.
// Sets only the two trailer values and the identification text.
bool LoadPhilipsImage(std::span<const uint8_t> bytes, SYTRParameter& record, std::span<uint8_t> image);

// The header print-out, through jv::Print.
void PrintYtrHeader(const SYTRParameter& record);

}  // namespace jv
