#pragma once
// The flash kernel: the one entry through which a firmware image reaches a
// drive, the image check run before a package is chosen, and the small
// register tweak some drives need before their neighbour is flashed.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drive/Winfunc.h"
#include "flash/IdeChannel.h"
#include "package/Ytr.h"

namespace jv {

// The run's options for one flash job, in the order the update run fills them.
struct SFlashOptions {
    uint8_t silent = 0;
    uint8_t showChecksum = 0;
    uint8_t atapiFlash = 0;
    uint8_t immediateAtapi = 0;
    uint8_t noDisc = 0;
    uint32_t repeatCount = 0;
    uint8_t padBanks = 0;
    uint8_t padReserved = 0;
    uint8_t eraseFirst = 0;
    uint8_t writeNewCode = 0;
    uint8_t erasePadRandom = 0;
    uint8_t erasePadChar = 0;
    uint8_t showChip = 0;
    uint8_t matchHeaderChecksum = 0;
    uint8_t skipVerify = 0;
};

// Writes the image into the drive: through the drive's own firmware when
// atapiFlash is set, else through the drive's IDE registers. The image may be
// written into by the page protocols (see Flashmcu.h).
FlashResult FlashImage(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                       SFlashOptions options, bool updater);

// The host-driven half: one pass of the IDE job for IDE flash types 1 to 4.
// It programs the image and, on a chip known by its ID, the bytes the chip
// held behind it. An image the controller cannot address or the chip cannot
// hold is refused before the chip is touched, with a line saying why and the
// protocols' code-1 text ("Flash Fail ! (1)\n" for the updater).
FlashResult FlashIdeJob(EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                        const SYTRParameter& parameter, const SFlashOptions& options, bool updater);

// Builds the image to program (output, same length as present) from the
// package image and what the chip holds now: banks, reserved blocks and the
// erase pad as the options say.
void ComposeImage(std::span<const uint8_t> image, std::span<const uint8_t> present, std::span<uint8_t> output,
                  const SYTRParameter& parameter, const SFlashOptions& options);

// Erases the detected parallel chip and programs image byte by byte; pages
// of chips 5 and 9 are read back and programmed again (up to eight times in
// a row). Problems surface in the kernel's verify.
void ProgramParallelChip(EDriveIndex drive, std::span<const uint8_t> image, bool silent, uint8_t chipType);
// The page re-verify budget, kept for the whole run.
uint8_t PageRetryBudget();

// The image's own sum against the header's, and its model name against the
// models the settings make available (the caller's list: the flash engines
// know nothing of the settings). Nothing read outside the image span.
FlashResult ValidateImage(std::span<const uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                          bool checkChecksum, bool checkModel, std::span<const std::string> availableModels);

// Clears a write-protect bit in the working memory of a drive whose vendor
// is "LITE". Always true: no reply of the drive stops a flash.
bool PrepareLiteDrive(EDriveIndex drive);

// Register-level entry of option e: identifies the drive's flash chip
// through the IDE registers of the drive's channel. It writes nothing.
// chipFamily: 1 MTK, 2 ALI, 3 ALI2, 4 MTK2.
void IdeDriveEntry(EDriveIndex drive, int chipFamily, bool silent, bool checkSum);

}  // namespace jv
