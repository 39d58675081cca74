#include "driver/Matching.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "drive/Winfunc.h"
#include "package/Firmware.h"
#include "platform/Console.h"

namespace jv {

namespace {

constexpr int kPioneerReadySeconds = 120;

bool IsPioneer(const std::string& modelName) { return modelName.compare(0, 7, "PIONEER") == 0; }

// Date codes are shown by the flash utility only, and PIONEER firmware keeps
// none worth showing.
bool ShowsDateCode(const std::string& modelName, const SParameter& settings) {
    return settings.main.Updater == 0 && !IsPioneer(modelName);
}

// The drive's date code when it is to be shown; a PIONEER drive is not even
// asked for it.
std::string DriveDateCode(EDriveIndex drive, const std::string& modelName, const SParameter& settings) {
    return ShowsDateCode(modelName, settings) ? InquiryDateCode(drive) : std::string();
}

// A package's hardware ID ends at its first zero byte; the drive's two
// bytes are cut the same way, or a drive answering "Q" and a zero byte could
// never match a package made for it.
std::string DriveHardwareId(EDriveIndex drive) {
    std::string id = ReadHardwareId(drive);
    if (const size_t zero = id.find('\0'); zero != std::string::npos) id.resize(zero);
    return id;
}

bool IsAvailableModel(const std::string& modelName, const SParameter& settings) {
    return std::find(settings.AvailableModelNames.begin(), settings.AvailableModelNames.end(), modelName) !=
           settings.AvailableModelNames.end();
}

bool AnyEquals(std::span<const SPackageIdentity> packages, const std::string& text,
               std::string SPackageIdentity::*field) {
    return std::any_of(packages.begin(), packages.end(),
                       [&](const SPackageIdentity& package) { return package.*field == text; });
}

}  // namespace

SPackageIdentity IdentifyPackage(std::span<const uint8_t> image, const SYTRParameter& header) {
    return {GetImageModelName(image), GetImageVersion(image, header.AtapiFlashType),
            GetImageDateCode(image, header.AtapiFlashType), GetImageHardwareId(image)};
}

std::string NewFirmwareLine(const SPackageIdentity& package, const SParameter& settings) {
    const std::string date = ShowsDateCode(package.modelName, settings) ? package.dateCode : std::string();
    return Format("New Firmware    : %s %s %s\n", package.modelName.c_str(), package.version.c_str(), date.c_str());
}

std::string CandidatesFirmwareLine(const std::vector<EDriveIndex>& drives,
                                   std::span<const SPackageIdentity> candidates, const SParameter& settings) {
    if (candidates.empty()) return {};
    const auto existing = std::find_if(drives.begin(), drives.end(), IsDriveIndexValid);
    const SPackageIdentity* shown = &candidates.front();
    if (!drives.empty()) {
        const EDriveIndex drive = existing != drives.end() ? *existing : drives.front();
        const std::string model = InquiryModelName(drive);
        const std::string id = DriveHardwareId(drive);
        const auto fits = std::find_if(candidates.begin(), candidates.end(), [&](const SPackageIdentity& p) {
            return p.modelName == model && p.hardwareId == id;
        });
        if (fits != candidates.end()) shown = &*fits;
    }
    return NewFirmwareLine(*shown, settings);
}

std::optional<std::vector<EDriveIndex>> QualifyDrives(const std::vector<EDriveIndex>& candidates,
                                                      std::span<const SPackageIdentity> packages,
                                                      const SParameter& settings, bool ideFlash, bool& stopped) {
    stopped = false;
    std::vector<EDriveIndex> qualified;
    for (EDriveIndex drive : candidates) {
        if (!IsDriveIndexValid(drive)) {
            // The register-level route reaches a drive the scan did not see.
            if (ideFlash) qualified.push_back(drive);
            continue;
        }
        const std::string model = InquiryModelName(drive);
        if (model.empty()) {
            Print("Get Drive Modelname error.\n");
            return std::nullopt;
        }
        if (IsPioneer(model)) {
            const EReadyWait wait = WaitDriveReady(drive, kPioneerReadySeconds);
            if (wait == EReadyWait::kStopped) {
                stopped = true;
                return std::nullopt;
            }
            if (wait == EReadyWait::kTimedOut) {
                Print("Wait For Ready error.\n");
                return std::nullopt;
            }
        }
        if (settings.ModelName && !AnyEquals(packages, model, &SPackageIdentity::modelName)) continue;
        if (settings.HardwareID && !AnyEquals(packages, DriveHardwareId(drive), &SPackageIdentity::hardwareId)) {
            continue;
        }
        if (settings.AvailableModel && !IsAvailableModel(model, settings)) continue;
        qualified.push_back(drive);
    }
    return qualified;
}

std::optional<EDriveIndex> ChooseDrive(const std::vector<EDriveIndex>& drives, const SParameter& settings,
                                       bool silent, bool noQuestions,
                                       const std::function<std::string()>& firmwareLine) {
    if (drives.empty()) {
        Print("No matched devices !\n");
        return std::nullopt;
    }
    if (drives.size() == 1 || silent || noQuestions) return drives.front();

    ClearScreen();
    GotoXY(1, 2);
    Print("\n");
    Print("%s", firmwareLine().c_str());
    Print("\n");
    Print("Please choose the working device and press Enter :\n");
    for (EDriveIndex drive : drives) {
        const std::string model = InquiryModelName(drive);
        const std::string version = InquiryRevision(drive);
        const std::string date = DriveDateCode(drive, model, settings);
        Print("%d: %s %s %s\n", drive, model.c_str(), version.c_str(), date.c_str());
    }
    long typed = 0;
    if (!TheConsole().ReadNumber(typed) ||
        std::find_if(drives.begin(), drives.end(), [&](EDriveIndex d) { return long{d} == typed; }) ==
            drives.end()) {
        Print("Input error.\n");
        return std::nullopt;
    }
    return static_cast<EDriveIndex>(typed);
}

std::optional<size_t> SelectConformingPackage(EDriveIndex drive, std::span<const SPackageIdentity> candidates) {
    const std::string model = InquiryModelName(drive);
    const std::string id = DriveHardwareId(drive);
    std::optional<size_t> found;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].modelName != model || candidates[i].hardwareId != id) continue;
        if (found) {
            Print("The number of conforming YTR are more than one.\n");
            return std::nullopt;
        }
        found = i;
    }
    if (!found) Print("No conforming YTR.\n");
    return found;
}

bool ConfirmUpdate(EDriveIndex drive, const SPackageIdentity* package, const SParameter& settings, bool silent,
                   bool noQuestions) {
    if (silent) return true;
    ClearScreen();
    GotoXY(1, 2);
    std::string driveVersion;
    if (IsDriveIndexValid(drive)) {
        const std::string model = InquiryModelName(drive);
        driveVersion = InquiryRevision(drive);
        const std::string date = DriveDateCode(drive, model, settings);
        Print("Drive to Update : %s %s %s\n", model.c_str(), driveVersion.c_str(), date.c_str());
    } else {
        Print("Drive to Update : No firmware device\n");
    }

    bool driveIsNewer = false;
    if (package == nullptr) {
        Print("%s", kRawFirmwareLine);
    } else {
        Print("%s", NewFirmwareLine(*package, settings).c_str());
        driveIsNewer = LeadingNumber(package->version) < LeadingNumber(driveVersion);
    }
    if (noQuestions) return true;

    if (driveIsNewer) {
        Print("Warning!  %s is newer than %s !! Update the drive ?(Y/N)", driveVersion.c_str(),
              package->version.c_str());
    } else {
        Print("Update the drive ?(Y/N)    ");
    }
    if (!AskYes()) return false;
    Print("y\n");
    return true;
}

double LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const auto digits = [&] {
        const size_t from = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i - from;
    };
    size_t count = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        count += digits();
    }
    if (count == 0) return 0.0;
    size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() > 0) end = i;
    }
    // from_chars takes no leading plus sign.
    const size_t from = text[start] == '+' ? start + 1 : start;
    double value = 0.0;
    std::from_chars(text.data() + from, text.data() + end, value, std::chars_format::general);
    return value;
}

}  // namespace jv
