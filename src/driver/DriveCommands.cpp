// The commands that read out the drives: the drive data listing (c) and the
// device menu of the register-level entry (e).
#include <string>
#include <string_view>
#include <vector>

#include "drive/Buffer.h"
#include "drive/Winfunc.h"
#include "driver/Auxiliary.h"
#include "driver/Program.h"
#include "flash/Flashknl.h"
#include "platform/Console.h"

namespace jv {

namespace {

// The drive answers 0 while it has no bank number ready, and a number above
// 32 while it is busy. Both waits share one bound: a drive that never settles
// costs at most this many queries, and its line then shows 0.
constexpr int kBankNumberQueries = 50;

// A drive number that can name no drive at all. The option n is checked when
// it is parsed, but the settings' default value is taken as it stands.
bool OutsideDriveRange(int32_t number) { return number < 0 || number >= kMaxDrives; }

// True when the model name holds text at position at (the name may be short
// or empty when the drive did not answer).
bool FieldIs(const std::string& model, size_t at, std::string_view text) {
    return model.size() >= at + text.size() && model.compare(at, text.size(), text) == 0;
}

// The vendor field of these drives carries no date code.
bool IsPioneer(const std::string& model) { return FieldIs(model, 0, "PIONEER"); }
// This model has no bank number to report.
bool HasNoBankNumber(const std::string& model) { return FieldIs(model, 8, "QLX-2209K"); }

void ListDrive(EDriveIndex drive) {
    const std::string model = InquiryModelName(drive);
    Print("Model Name    : %s\n", model.c_str());
    Print("Hardware ID   : %s\n", ReadHardwareId(drive).c_str());
    Print("Drive Version : %s\n", InquiryRevision(drive).c_str());
    if (!IsPioneer(model)) Print("Date Code     : %s\n", InquiryDateCode(drive).c_str());
    if (!HasNoBankNumber(model)) {
        int queries = kBankNumberQueries;
        int bank = 0;
        while (bank == 0 && queries > 0) bank = ReadBankNumber(drive, queries);
        Print("Bank Number   : %d\n", bank);
    }
    Print("\n");
}

}  // namespace

int CommandCheckDrive(const SParameter&, const SCommandLine& args) {
    std::vector<EDriveIndex> drives;
    if (args.driveNumber == -1) {
        drives = ListDriveIndexes();
        if (drives.empty()) {
            Print("No flashed drive exists.\n");
            return kExitDone;
        }
    } else {
        if (OutsideDriveRange(args.driveNumber) || !IsDriveIndexValid(static_cast<EDriveIndex>(args.driveNumber))) {
            Print("Drive does not exist.\n");
            return kExitDone;
        }
        drives.push_back(static_cast<EDriveIndex>(args.driveNumber));
    }
    for (EDriveIndex drive : drives) ListDrive(drive);
    return kExitDone;
}

int CommandIdeDriveChoice(const SParameter& settings, const SCommandLine& args) {
    const bool silent = args.silent != 0;
    const bool checkSum = settings.CheckSum != 0;
    if (args.driveNumber != -1) {
        // A number past the drive table would wrap to another drive's index.
        // One inside it goes to the entry even when the scan did not find
        // that drive: the register route reaches drives the scan cannot see.
        if (OutsideDriveRange(args.driveNumber)) {
            Print("Drive does not exist.\n");
            return kExitDone;
        }
        IdeDriveEntry(static_cast<EDriveIndex>(args.driveNumber), args.ideFlashChip, silent, checkSum);
        return kExitDone;
    }
    const std::vector<EDriveIndex> drives = ListDriveIndexes();
    if (drives.empty()) {
        Print("No drive exists.\n");
        return kExitDone;
    }
    Print("\n");
    Print("Please choose the device and press Enter :\n");
    for (EDriveIndex drive : drives) {
        const std::string model = InquiryModelName(drive);
        const std::string version = InquiryRevision(drive);
        if (IsPioneer(model))
            Print("%d: %s %s\n", drive, model.c_str(), version.c_str());
        else
            Print("%d: %s %s %s\n", drive, model.c_str(), version.c_str(), InquiryDateCode(drive).c_str());
    }
    long choice = 0;
    bool listed = false;
    if (TheConsole().ReadNumber(choice)) {
        for (EDriveIndex drive : drives) listed = listed || choice == drive;
    }
    if (!listed) {
        Print("Input error.\n");
        return kExitDone;
    }
    IdeDriveEntry(static_cast<EDriveIndex>(choice), args.ideFlashChip, silent, checkSum);
    return kExitDone;
}

}  // namespace jv
