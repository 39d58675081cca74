// The commands that read out the drives: the drive data listing (c), as text
// or as JSON, and the device menu of the register-level entry (e).
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

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

int ReadListedBankNumber(EDriveIndex drive) {
    int queries = kBankNumberQueries;
    int bank = 0;
    while (bank == 0 && queries > 0) bank = ReadBankNumber(drive, queries);
    return bank;
}

void ListDrive(EDriveIndex drive) {
    const std::string model = InquiryModelName(drive);
    Print("Model Name    : %s\n", model.c_str());
    Print("Hardware ID   : %s\n", ReadHardwareId(drive).c_str());
    Print("Drive Version : %s\n", InquiryRevision(drive).c_str());
    if (!IsPioneer(model)) Print("Date Code     : %s\n", InquiryDateCode(drive).c_str());
    if (!HasNoBankNumber(model)) Print("Bank Number   : %d\n", ReadListedBankNumber(drive));
    Print("\n");
}

// A field as the drive wrote it: up to its first zero byte, without the
// blanks that pad it.
std::string Trimmed(const char* text, size_t width) {
    std::string_view field(text, strnlen(text, width));
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    const size_t first = field.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return std::string(field.substr(first, field.find_last_not_of(kBlanks) - first + 1));
}

// One drive of the JSON listing: the fields of the text listing, vendor and
// product apart, from one INQUIRY. A field the text listing leaves out for
// the model (date code, bank number) is null.
nlohmann::ordered_json DriveReport(EDriveIndex drive) {
    std::array<uint8_t, 256> inquiry{};
    const bool answered = Inquiry(drive, inquiry);
    const auto field = [&](size_t first, size_t width) {
        return answered ? Trimmed(reinterpret_cast<const char*>(inquiry.data() + first), width) : std::string();
    };
    const char* at = reinterpret_cast<const char*>(inquiry.data() + 8);
    const std::string model = answered ? std::string(at, strnlen(at, 24)) : std::string();
    const SDriveEntry& entry = TheAtapi().Entry(drive);
    const std::string device = Trimmed(entry.devicePath, sizeof entry.devicePath);
    const std::string hardwareId = ReadHardwareId(drive);

    nlohmann::ordered_json report;
    report["drive"] = drive;
    report["device"] = device.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(device);
    report["vendor"] = field(8, 8);
    report["product"] = field(16, 16);
    report["revision"] = field(32, 4);
    report["date_code"] = IsPioneer(model) ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(field(40, 6));
    report["hardware_id"] = Trimmed(hardwareId.c_str(), hardwareId.size());
    report["bank_number"] =
        HasNoBankNumber(model) ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(ReadListedBankNumber(drive));
    return report;
}

// The document goes to standard output alone (the run's messages are on
// standard error). Drives report bytes, not text: bytes that are not UTF-8
// become U+FFFD, and everything outside ASCII is written as a \u escape, so
// the document is valid JSON in ASCII whatever a drive says. Device nodes
// the scan could not use are listed with the system's reason; when there
// are such nodes and no drive could be read, the listing is no success.
int WriteDriveListingJson(const std::vector<EDriveIndex>& drives) {
    nlohmann::ordered_json listing;
    listing["drives"] = nlohmann::ordered_json::array();
    for (EDriveIndex drive : drives) listing["drives"].push_back(DriveReport(drive));
    const std::vector<SInaccessibleNode> unusable = InaccessibleNodes();
    listing["inaccessible"] = nlohmann::ordered_json::array();
    for (const SInaccessibleNode& node : unusable) {
        nlohmann::ordered_json entry;
        entry["device"] = node.device;
        entry["reason"] = node.reason;
        listing["inaccessible"].push_back(std::move(entry));
    }
    const std::string text = listing.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) != 0 || !written) {
        Print("The listing could not be written to standard output.\n");
        return kExitDone;
    }
    return drives.empty() && !unusable.empty() ? 1 : 0;
}

}  // namespace

int CommandCheckDrive(const SParameter&, const SCommandLine& args) {
    std::vector<EDriveIndex> drives;
    if (args.driveNumber == -1) {
        drives = ListDriveIndexes();
        if (drives.empty()) {
            Print("No flashed drive exists.\n");
            // An empty listing is still an answer a script can read.
            return args.json ? WriteDriveListingJson(drives) : kExitDone;
        }
    } else {
        if (OutsideDriveRange(args.driveNumber) || !IsDriveIndexValid(static_cast<EDriveIndex>(args.driveNumber))) {
            Print("Drive does not exist.\n");
            return kExitDone;
        }
        drives.push_back(static_cast<EDriveIndex>(args.driveNumber));
    }
    if (args.json) return WriteDriveListingJson(drives);
    for (EDriveIndex drive : drives) ListDrive(drive);
    return kExitDone;
}

int CommandIdeDriveChoice(const SParameter& settings, const SCommandLine& args) {
    const bool silent = args.silent != 0;
    const bool checkSum = settings.CheckSum != 0;
    if (args.driveNumber != -1) {
        // A number past the drive table would wrap to another drive's index.
        // One inside it that the scan did not find is refused by the entry,
        // with the reason: the register route reaches only a drive the scan
        // found and the system places on an IDE channel.
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
