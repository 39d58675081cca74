#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "drive/Autoinsertnotification.h"
#include "drive/Winfunc.h"
#include "driver/Matching.h"
#include "driver/Program.h"
#include "flash/Flashknl.h"
#include "flash/Flashmsg.h"
#include "package/PackageBuffers.h"
#include "package/ZipPackage.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Process.h"

namespace jv {

namespace {

constexpr uint32_t kSecondsPerDay = 24 * 3600;
// A Philips image is counted in download pages together with the 40 bytes
// of its identification and trailer.
constexpr uint32_t kPhilipsOverhead = 40;
// EDriveIndex is one byte; a larger number can name no drive at all.
constexpr EDriveIndex kNoSuchDrive = 0xFF;

SFlashOptions FlashOptionsFor(const SParameter& settings, const SCommandLine& args) {
    SFlashOptions options;
    options.silent = args.silent;
    options.showChecksum = args.showChecksum;
    options.atapiFlash = args.ideFlash ? 0 : 1;
    options.immediateAtapi = settings.ImmediateAtapi;
    options.noDisc = settings.NoDisc;
    options.repeatCount = static_cast<uint32_t>(args.repeatCount);
    options.padBanks = 0;  // nothing asks for padded banks
    options.padReserved = args.padReserved;
    options.eraseFirst = args.keepContents ? 0 : 1;
    options.writeNewCode = settings.WriteNewCode;
    options.erasePadRandom = settings.ErasePadRandom;
    options.erasePadChar = settings.ErasePadChar;
    options.showChip = args.showChip;
    options.matchHeaderChecksum = args.matchHeaderChecksum;
    options.skipVerify = args.skipVerify;
    return options;
}

void Release(std::vector<uint8_t>& image) {
    image.clear();
    image.shrink_to_fit();
}

// The firmware the run works with: one package (or Philips image) once it is
// known, several candidates from the package buffers until a drive decides.
struct SFirmware {
    bool raw = false;
    SLoadedPackage working;
    std::vector<SLoadedPackage> candidates;  // buffer order; empty once one is working
};

std::optional<SFirmware> ObtainFirmware(const SParameter& settings, const SCommandLine& args) {
    SFirmware firmware;
    if (settings.main.Updater) {
        // The updater carries its firmware; a file name on its command line
        // means nothing to it.
        std::optional<SEmbeddedFirmware> embedded = LoadEmbeddedPackages(FlashMessage(kMsgLoadYtrFail));
        if (!embedded) return std::nullopt;
        if (embedded->philips) {
            firmware.raw = true;
            firmware.working = std::move(embedded->cvt);
            return firmware;
        }
        for (auto& package : embedded->packages) {
            if (package) firmware.candidates.push_back(std::move(*package));
        }
        if (firmware.candidates.size() == 1) {
            firmware.working = std::move(firmware.candidates.front());
            firmware.candidates.clear();
        }
        return firmware;
    }
    SPackageFile file;
    if (!LoadPackageFile(args.packageFile, file, FlashMessage(kMsgLoadYtrFail))) return std::nullopt;
    firmware.raw = file.philips;
    firmware.working.header = std::move(file.header);
    firmware.working.image = std::move(file.image);
    return firmware;
}

// The image check; with several candidates those that fail drop out. False
// when the run ends here.
bool CheckImages(SFirmware& firmware, const SParameter& settings) {
    const auto check = [&](const SLoadedPackage& package) {
        return ValidateImage(package.image, static_cast<uint32_t>(package.image.size()), package.header,
                             settings.CheckSum != 0, settings.AvailableModel != 0,
                             settings.AvailableModelNames);
    };
    if (firmware.candidates.empty()) {
        if (FlashResult failure = check(firmware.working)) {
            Print("%s\n", failure->c_str());
            return false;
        }
        return true;
    }
    FlashResult lastFailure;
    std::vector<SLoadedPackage> passed;
    for (SLoadedPackage& candidate : firmware.candidates) {
        if (FlashResult failure = check(candidate)) {
            lastFailure = std::move(failure);
            Release(candidate.image);
        } else {
            passed.push_back(std::move(candidate));
        }
    }
    firmware.candidates = std::move(passed);
    if (firmware.candidates.empty()) {
        Print("%s\n", lastFailure->c_str());
        return false;
    }
    if (firmware.candidates.size() == 1) {
        firmware.working = std::move(firmware.candidates.front());
        firmware.candidates.clear();
    }
    return true;
}

// The drives the run may update. False when the run ends here.
bool DriveCandidates(const SCommandLine& args, bool raw, std::vector<EDriveIndex>& drives) {
    if (args.driveNumber < 0 || raw) {
        drives = ListDriveIndexes();
        return true;
    }
    const EDriveIndex drive =
        args.driveNumber <= kNoSuchDrive ? static_cast<EDriveIndex>(args.driveNumber) : kNoSuchDrive;
    if (!IsDriveIndexValid(drive) && !args.silent) {
        Print("No matched devices !\n");
        if (args.noQuestions) return false;
        Print("Update the drive ?(Y/N)    ");
        if (!AskYes()) return false;
        Print("y\n");
        ClearScreen();
    }
    drives = {drive};
    return true;
}

// Picks the drive and, when the updater still holds several candidates, the
// package that belongs to it. Nothing when the run ends here; stopped says
// the user ended it with ESC.
std::optional<EDriveIndex> ChooseTarget(SFirmware& firmware, const std::vector<EDriveIndex>& drives,
                                        const SParameter& settings, const SCommandLine& args, bool& stopped) {
    stopped = false;
    if (firmware.raw) {
        return ChooseDrive(drives, settings, args.silent, args.noQuestions, [] { return std::string(kRawFirmwareLine); });
    }
    std::vector<SPackageIdentity> identities;
    if (firmware.candidates.empty()) {
        identities.push_back(IdentifyPackage(firmware.working.image, firmware.working.header));
    } else {
        for (const SLoadedPackage& candidate : firmware.candidates) {
            identities.push_back(IdentifyPackage(candidate.image, candidate.header));
        }
    }
    std::optional<std::vector<EDriveIndex>> qualified = QualifyDrives(drives, identities, settings, args.ideFlash, stopped);
    if (!qualified) return std::nullopt;
    const auto line = [&] {
        return firmware.candidates.empty() ? NewFirmwareLine(identities.front(), settings)
                                           : CandidatesFirmwareLine(*qualified, identities, settings);
    };
    std::optional<EDriveIndex> chosen = ChooseDrive(*qualified, settings, args.silent, args.noQuestions, line);
    if (!chosen || firmware.candidates.empty()) return chosen;

    std::optional<size_t> conforming = SelectConformingPackage(*chosen, identities);
    if (!conforming) return std::nullopt;
    firmware.working = std::move(firmware.candidates[*conforming]);
    firmware.candidates.clear();
    return chosen;
}

// Seconds from start to end of a flash read off the time of day; a flash
// that runs past midnight ends on the next day.
uint32_t ElapsedSeconds(uint32_t start, uint32_t end) {
    while (end < start) end += kSecondsPerDay;
    return end - start;
}

}  // namespace

int UpdateRun(const SParameter& settings, const SCommandLine& args) {
    if (!settings.main.Updater && args.packageFile.empty()) {
        Print("YTR Error!\n");
        return kExitDone;
    }
    ClearScreen();
    const SFlashOptions options = FlashOptionsFor(settings, args);
    SetMessageTable(args.silent != 0);

    std::optional<SFirmware> firmware = ObtainFirmware(settings, args);
    if (!firmware) return kExitDone;
    if (!firmware->raw && !CheckImages(*firmware, settings)) return kExitDone;

    std::vector<EDriveIndex> drives;
    if (!DriveCandidates(args, firmware->raw, drives)) return kExitDone;
    bool stopped = false;
    const std::optional<EDriveIndex> target = ChooseTarget(*firmware, drives, settings, args, stopped);
    if (!target) return stopped ? kExitEscape : kExitDone;
    const EDriveIndex drive = *target;

    SLoadedPackage& package = firmware->working;
    const std::optional<SPackageIdentity> identity =
        firmware->raw ? std::nullopt : std::optional(IdentifyPackage(package.image, package.header));
    if (!ConfirmUpdate(drive, identity ? &*identity : nullptr, settings, args.silent, args.noQuestions)) {
        return kExitDone;
    }

    // Windows 98/ME notices a new disc while the drive restarts into its new
    // firmware; that must be off before anything is written.
    const bool passThrough = UsesPassThrough();
    std::string deviceName;
    if (!passThrough) {
        deviceName = InquiryModelName(drive) + InquiryRevision(drive);
        if (SwitchOffAutoInsert(deviceName)) return kExitDone;
    }

    if (!args.ideFlash && IsDriveIndexValid(drive)) {
        if (!firmware->raw && settings.NoDisc && !PrepareTray(drive, &AskAboutTray)) return kExitDone;
        SetTrayLock(drive, true);
    }

    const uint32_t start = TheClock().SecondsOfDay();
    FlashResult result;
    {
        // The engines open the flash-write window at their first write; it
        // closes here however they return, so a Ctrl-C after the flash
        // ends the program again.
        const SFlashWriteEnd flashOver;
        if (firmware->raw) {
            if (!args.silent) Print("Please wait for at least 4 minutes!\n");
            const auto pages = static_cast<int>((package.image.size() + kPhilipsOverhead) / kFirmwareBlockSize);
            result = DownloadFirmware(drive, package.image, pages, package.header.HeaderCheckSum,
                                      package.header.TrailerValue2);
        } else {
            result = FlashImage(drive, package.image, static_cast<uint32_t>(package.image.size()), package.header,
                                options, settings.main.Updater != 0);
        }
    }
    Release(package.image);
    if (result.EndsRun()) return kExitEscape;

    if (!args.silent && settings.Timer) {
        GotoXY(1, 18);
        const uint32_t seconds = ElapsedSeconds(start, TheClock().SecondsOfDay());
        Print("Total flash time : %d second(s).\n", static_cast<int>(seconds));
    }

    if (result) {
        GotoXY(1, 20);
        Print("%s\n", result->c_str());
        return kExitDone;
    }
    if (!args.silent) {
        GotoXY(1, 20);
        Print("========== Flash Completed Successfully==========\n");
        Print("Please Restart the computer.\n");
    }
    Print("You have to restart os!\n");

    if (!passThrough) OfferAutoInsertOn(deviceName, args.silent != 0);
    return kExitFlashed;
}

}  // namespace jv
