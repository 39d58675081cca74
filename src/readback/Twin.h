#pragma once
// A virtual twin: a rig file, and beside it the flash file it names, that
// make jorvane-sim's drive the drive as it was read. It answers INQUIRY,
// the hardware ID page, the bank number and the feature page as the drive
// did, speaks the controller family the package's flash types name, and
// holds every byte read, also those a package cannot carry back. Packages
// can then be rehearsed on it before the drive itself is flashed.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drive/Winfunc.h"
#include "package/Ytr.h"
#include "readback/Reader.h"

namespace jv {

// What the drive says about itself, read with commands that change nothing.
struct STwinIdentity {
    std::string vendor;              // INQUIRY bytes 8-15, up to a NUL
    std::string product;             // 16-31
    std::string revision;            // 32-35
    std::string dateCode;            // 40-45
    std::string inquiryHardwareId;   // 38-39
    std::string hardwareId;          // the vendor page's bytes 18-19
    std::string hardwareIdPage;      // zerv | other | fails
    uint8_t bankNumber = 0;
    uint16_t features = 0;  // bit n: feature n (1-13) reported
    std::optional<bool> dvd;  // the capabilities page's DVD-ROM read bit, when it answers
    std::string where;      // "drive 0 (/dev/sr0)"
};

// Nothing when the drive does not answer INQUIRY.
std::optional<STwinIdentity> ReadTwinIdentity(EDriveIndex drive);

// The flash file's name: beside the rig file, its stem and "-flash.bin".
std::string TwinFlashName(const std::string& rigFile);

// The most bytes a twin's rig file takes: its text holds the drive's
// identity fields, each of a few bytes, and a file name.
inline constexpr uint64_t kTwinRigAtMost = 4096;

// Why the twin's files cannot be made new (a name taken), with its line
// end; nothing when both are free.
std::optional<std::string> TwinNamesTaken(const std::string& rigFile);

// The rig file's text.
std::string TwinRigText(const STwinIdentity& drive, const SYTRParameter& like, EBackupRoute route,
                        const SFlashRead& read, const std::string& flashFileName);

// Writes the flash file, then the rig file; neither replaces a file. On a
// failure nothing of the twin is left, and the text says why.
std::optional<std::string> WriteTwin(const std::string& rigFile, const STwinIdentity& drive,
                                     const SYTRParameter& like, EBackupRoute route, const SFlashRead& read);

}  // namespace jv
