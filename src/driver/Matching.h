#pragma once
// Which drive receives the firmware, and which package a drive gets when the
// updater carries several. Drives are known by what their INQUIRY and vendor
// pages report, packages by the information block inside their images.
//
// Every function that "ends the run" has printed its message and returns
// nothing (or false); the caller stops with 259. Nothing here writes to a
// drive: the only command that is not a query is the ready wait of a PIONEER
// drive.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drive/Winfunc.h"
#include "driver/Settings.h"
#include "package/Ytr.h"

namespace jv {

// The texts a package carries, read once from its image.
struct SPackageIdentity {
    std::string modelName;   // 24: vendor (8) and product (16)
    std::string version;     // 4
    std::string dateCode;    // 6
    std::string hardwareId;  // 2
};

SPackageIdentity IdentifyPackage(std::span<const uint8_t> image, const SYTRParameter& header);

// A Philips-format image carries no information block; its line is fixed.
inline constexpr const char* kRawFirmwareLine = "New Firmware    : ZERV    QLX-2209K\n";

// "New Firmware    : model version date\n"; the date code only in the flash
// utility (Updater 0) and never for a PIONEER package.
std::string NewFirmwareLine(const SPackageIdentity& package, const SParameter& settings);

// The line for several candidate packages: the candidate that fits the first
// existing drive of the list by model name and hardware ID, else the first.
std::string CandidatesFirmwareLine(const std::vector<EDriveIndex>& drives,
                                   std::span<const SPackageIdentity> candidates, const SParameter& settings);

// The drives of the candidate list that may receive one of the packages (one
// package, or several candidates). With IDE flash a drive index that does not
// exist stays in. Nothing when the run ends here: a drive could not be read
// (the reason is printed), or the user pressed ESC while a drive was awaited
// (stopped is then set, and nothing is printed).
std::optional<std::vector<EDriveIndex>> QualifyDrives(const std::vector<EDriveIndex>& candidates,
                                                      std::span<const SPackageIdentity> packages,
                                                      const SParameter& settings, bool ideFlash, bool& stopped);

// Picks the drive to update from the list, asking the user when there is a
// choice to make. The firmware line is made only for the question: making it
// may query the drives. Nothing when the run ends here.
std::optional<EDriveIndex> ChooseDrive(const std::vector<EDriveIndex>& drives, const SParameter& settings,
                                       bool silent, bool noQuestions,
                                       const std::function<std::string()>& firmwareLine);

// The index of the one candidate whose model name and hardware ID are the
// chosen drive's. Nothing when none or several are.
std::optional<size_t> SelectConformingPackage(EDriveIndex drive, std::span<const SPackageIdentity> candidates);

// The last question before anything is written (not asked when silent; only
// the lines are shown with option y). package is nothing for a Philips image.
// False when the user said no.
bool ConfirmUpdate(EDriveIndex drive, const SPackageIdentity* package, const SParameter& settings, bool silent,
                   bool noQuestions);

// The leading decimal number of a text, as the C runtime's atof reads it; 0
// when there is none. Never reads hexadecimal, infinities or NaN.
double LeadingNumber(const std::string& text);

}  // namespace jv
