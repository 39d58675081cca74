#include "sim/Rig.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace jv::sim {

namespace {

constexpr size_t kMaxRigBytes = 1 << 20;

std::string Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t next = text.find_first_of(separators, pos);
        if (next == std::string::npos) next = text.size();
        std::string part = Trim(std::string_view(text).substr(pos, next - pos));
        if (!part.empty()) parts.push_back(part);
        pos = next + 1;
    }
    return parts;
}

// Decimal, or hex after 0x; the whole text must be the number.
bool ParseNumber(const std::string& text, int64_t& value, int base = 10) {
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty() || digits[0] == '-' || digits[0] == '+') return false;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    return ec == std::errc() && end == digits.data() + digits.size();
}

bool ParseInRange(const std::string& text, int64_t low, int64_t high, int64_t& value, int base = 10) {
    return ParseNumber(text, value, base) && value >= low && value <= high;
}

bool ParseByteHex(const std::string& text, uint8_t& value) {
    int64_t v = 0;
    if (!ParseInRange(text, 0, 0xFF, v, 16)) return false;
    value = static_cast<uint8_t>(v);
    return true;
}

// "06:1D:00": sense key byte, ASC, ASCQ in hex.
bool ParseSense(const std::string& text, SSenseCode& sense) {
    auto parts = Split(text, ":");
    return parts.size() == 3 && ParseByteHex(parts[0], sense.key) && ParseByteHex(parts[1], sense.asc) &&
           ParseByteHex(parts[2], sense.ascq);
}

bool ParseBool(const std::string& text, bool& value) {
    static const std::set<std::string> yes{"yes", "true", "on", "1"}, no{"no", "false", "off", "0"};
    if (yes.count(Lower(text))) value = true;
    else if (no.count(Lower(text))) value = false;
    else return false;
    return true;
}

bool ParseMs(const std::string& text, int64_t& value, bool allowNever) {
    if (allowNever && Lower(text) == "never") {
        value = -1;
        return true;
    }
    return ParseInRange(text, 0, int64_t{1} << 40, value);
}

using KeyParser = std::function<std::string(SDriveConfig&, const std::string&)>;

KeyParser Text(std::string SDriveConfig::*field, size_t width) {
    return [field, width](SDriveConfig& c, const std::string& v) -> std::string {
        if (v.size() > width) return "longer than " + std::to_string(width) + " characters";
        c.*field = v;
        return {};
    };
}

KeyParser Flag(bool SDriveConfig::*field) {
    return [field](SDriveConfig& c, const std::string& v) -> std::string {
        return ParseBool(v, c.*field) ? "" : "not yes or no";
    };
}

KeyParser Milliseconds(int64_t SDriveConfig::*field, bool allowNever) {
    return [field, allowNever](SDriveConfig& c, const std::string& v) -> std::string {
        return ParseMs(v, c.*field, allowNever) ? "" : "not a time in milliseconds";
    };
}

// "7 03:11:00" or "1B 06:1D:00"; the sense part is absent for the hang,
// hold and garble keys.
KeyParser Fault(SFault::EKind kind, bool noAnswer, bool garble = false, bool held = false) {
    return [kind, noAnswer, garble, held](SDriveConfig& c, const std::string& v) -> std::string {
        const bool withSense = !noAnswer && !garble && !held;
        auto parts = Split(v, " \t");
        if (parts.size() != (withSense ? 2u : 1u)) return withSense ? "expects a number and a sense" : "expects one number";
        SFault fault;
        fault.kind = kind;
        fault.noAnswer = noAnswer;
        fault.garble = garble;
        fault.held = held;
        int64_t n = 0;
        if (kind == SFault::EKind::NthCommand) {
            if (!ParseInRange(parts[0], 1, UINT32_MAX, n)) return "not a command number";
            fault.nth = static_cast<uint32_t>(n);
        } else if (!ParseByteHex(parts[0], fault.opcode)) {
            return "not a hex operation code";
        }
        if (withSense && !ParseSense(parts[1], fault.sense)) return "sense is not like 05:24:00";
        c.faults.push_back(fault);
        return {};
    };
}

KeyParser FlashFile() {
    return [](SDriveConfig& c, const std::string& v) -> std::string {
        if (v.empty()) return "empty path";
        c.flashFile = v;
        return {};
    };
}

const std::map<std::string, KeyParser>& Keys() {
    static const std::map<std::string, KeyParser> keys = {
        {"vendor", Text(&SDriveConfig::vendor, 8)},
        {"product", Text(&SDriveConfig::product, 16)},
        {"revision", Text(&SDriveConfig::revision, 4)},
        {"date_code", Text(&SDriveConfig::dateCode, 6)},
        {"hardware_id", Text(&SDriveConfig::hardwareId, 2)},
        {"inquiry_hardware_id", Text(&SDriveConfig::inquiryHardwareId, 2)},
        {"device_type",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             int64_t n = 0;
             if (!ParseInRange(v, 0, 0xFF, n)) return "not an INQUIRY byte 0 (0 to 0xFF)";
             c.peripheral = static_cast<uint8_t>(n);
             return {};
         }},
        {"hardware_id_page",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             std::string v = Lower(text);
             if (v == "zerv") c.hardwareIdPage = EHardwareIdPage::Zerv;
             else if (v == "other") c.hardwareIdPage = EHardwareIdPage::Other;
             else if (v == "fails") c.hardwareIdPage = EHardwareIdPage::Fails;
             else return "not zerv, other or fails";
             return {};
         }},
        {"bank_number",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             c.bankReplies.clear();
             for (const auto& part : Split(v, ",")) {
                 int64_t n = 0;
                 if (!ParseInRange(part, 0, 255, n)) return "not a list of numbers 0 to 255";
                 c.bankReplies.push_back(static_cast<uint8_t>(n));
             }
             return c.bankReplies.empty() ? "empty" : "";
         }},
        {"features",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             c.features = 0;
             for (const auto& part : Split(v, ",")) {
                 int64_t n = 0;
                 if (!ParseInRange(part, 1, 13, n)) return "not a list of feature numbers 1 to 13";
                 c.features = static_cast<uint16_t>(c.features | 1u << n);
             }
             return {};
         }},
        {"checksum",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             auto parts = Split(v, ",");
             int64_t a = 0, b = 0;
             if (parts.size() != 2 || !ParseInRange(parts[0], 0, 0xFFFF, a) || !ParseInRange(parts[1], 0, 0xFFFF, b))
                 return "expects two 16-bit values";
             c.checksum.packageValue = static_cast<uint16_t>(a);
             c.checksum.imageValue = static_cast<uint16_t>(b);
             return {};
         }},
        {"checksum_length",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             int64_t n = 0;
             if (!ParseInRange(v, 0, 255, n)) return "not a number 0 to 255";
             c.checksum.length = static_cast<uint8_t>(n);
             return {};
         }},
        {"kernel_report",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             auto parts = Split(v, ",");
             int64_t bank = 0, address = 0, length = 0;
             if (parts.size() != 3 || !ParseInRange(parts[0], 0, 255, bank) ||
                 !ParseInRange(parts[1], 0, 0xFFFF, address) || !ParseInRange(parts[2], 0, 0xFFFF, length))
                 return "expects bank, address, length";
             c.kernel = {true, static_cast<uint8_t>(bank), static_cast<uint16_t>(address),
                         static_cast<uint16_t>(length)};
             return {};
         }},
        {"dvd", Flag(&SDriveConfig::dvd)},
        {"tray",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             std::string v = Lower(text);
             if (v != "open" && v != "closed") return "not open or closed";
             c.trayOpen = v == "open";
             return {};
         }},
        {"disc", Flag(&SDriveConfig::disc)},
        {"locked", Flag(&SDriveConfig::locked)},
        {"tray_motor", Flag(&SDriveConfig::trayMotor)},
        {"load_sense",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             if (!ParseSense(v, c.loadSense)) return "sense is not like 06:1D:00";
             c.loadComplains = true;
             return {};
         }},
        {"sense_format",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             const std::string v = Lower(text);
             if (v != "fixed" && v != "descriptor") return "not fixed or descriptor";
             c.descriptorSense = v == "descriptor";
             return {};
         }},
        {"hand_closes_tray_ms", Milliseconds(&SDriveConfig::handClosesTrayMs, false)},
        {"hand_removes_disc_ms", Milliseconds(&SDriveConfig::handRemovesDiscMs, false)},
        {"ready_after_ms", Milliseconds(&SDriveConfig::readyAfterMs, true)},
        {"reboot_ms", Milliseconds(&SDriveConfig::rebootMs, false)},
        {"flash_size",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             int64_t n = 0;
             if (!ParseInRange(v, 1, 0x4000000, n)) return "not a size up to 64 MiB";
             c.flashSize = static_cast<uint32_t>(n);
             c.flashSizeGiven = true;
             return {};
         }},
        {"controller",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             static const std::map<std::string, EController> names = {
                 {"any", EController::Any},   {"mtk", EController::Mtk},   {"ali", EController::Ali},
                 {"mtk2", EController::Mtk2}, {"mtk3", EController::Mtk3}, {"mtk4", EController::Mtk4},
                 {"mtk5", EController::Mtk5}, {"mtk6", EController::Mtk6}, {"mtk7", EController::Mtk7},
                 {"philips", EController::Philips}};
             auto it = names.find(Lower(text));
             if (it == names.end()) return "not any, mtk, ali, mtk2 ... mtk7 or philips";
             c.controller = it->second;
             return {};
         }},
        {"replay",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             if (v.empty()) return "not a trace file";
             c.replayFile = v;
             return {};
         }},
        {"flash_file", FlashFile()},
        {"flashfile", FlashFile()},
        {"flash_blank", Flag(&SDriveConfig::flashBlank)},
        {"captured_flash",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             std::string v = Lower(text);
             if (v.starts_with("0x")) v.erase(0, 2);
             const bool hex = v.size() == 16 && v.find_first_not_of("0123456789abcdef") == std::string::npos;
             if (!hex) return "not a 64-bit fingerprint (16 hex digits)";
             c.capturedFlash = std::stoull(v, nullptr, 16);
             return {};
         }},
        {"block_program_ms", Milliseconds(&SDriveConfig::blockProgramMs, false)},
        {"flash_stays_busy", Flag(&SDriveConfig::flashStaysBusy)},
        {"wrong_checksum", Flag(&SDriveConfig::wrongChecksum)},
        {"short_read", Flag(&SDriveConfig::shortRead)},
        {"boot_attempts",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             int64_t n = 0;
             if (!ParseInRange(v, 0, 1000, n)) return "not a number 0 to 1000";
             c.bootAttempts = static_cast<uint32_t>(n);
             return {};
         }},
        {"power_loss_after",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             return ParseInRange(v, 0, int64_t{1} << 32, c.powerLossAfter) ? "" : "not a byte count";
         }},
        {"fail_command", Fault(SFault::EKind::NthCommand, false)},
        {"fail_opcode", Fault(SFault::EKind::Opcode, false)},
        {"hang_command", Fault(SFault::EKind::NthCommand, true)},
        {"hang_opcode", Fault(SFault::EKind::Opcode, true)},
        {"hold_command", Fault(SFault::EKind::NthCommand, false, false, true)},
        {"hold_opcode", Fault(SFault::EKind::Opcode, false, false, true)},
        {"flash_start",
         [](SDriveConfig& c, const std::string& text) -> std::string {
             static const std::map<std::string, EFlashStart> names = {
                 {"answered", EFlashStart::Answered}, {"held", EFlashStart::Held}, {"refused", EFlashStart::Refused}};
             auto it = names.find(Lower(text));
             if (it == names.end()) return "not answered, held or refused";
             c.flashStart = it->second;
             return {};
         }},
        {"garble_command", Fault(SFault::EKind::NthCommand, false, true)},
        {"garble_opcode", Fault(SFault::EKind::Opcode, false, true)},
        {"aspi",
         [](SDriveConfig& c, const std::string& v) -> std::string {
             auto parts = Split(v, ":");
             int64_t adapter = 0, target = 0, lun = 0;
             if (parts.size() != 3 || !ParseInRange(parts[0], 0, 15, adapter) ||
                 !ParseInRange(parts[1], 0, 7, target) || !ParseInRange(parts[2], 0, 7, lun))
                 return "not adapter:target:lun (adapter 0-15, target and LUN 0-7)";
             c.aspi = SAspiAddress{static_cast<uint8_t>(adapter), static_cast<uint8_t>(target),
                                   static_cast<uint8_t>(lun)};
             return {};
         }},
    };
    return keys;
}

bool Repeatable(const std::string& key) {
    return key.rfind("fail_", 0) == 0 || key.rfind("hang_", 0) == 0 || key.rfind("hold_", 0) == 0 ||
           key.rfind("garble_", 0) == 0;
}

}  // namespace

SAspiAddress AspiAddressOf(const SDriveConfig& config, size_t index) {
    if (config.aspi) return *config.aspi;
    return SAspiAddress{static_cast<uint8_t>(index / 8), static_cast<uint8_t>(index % 8), 0};
}

std::optional<SRig> ParseRig(const std::string& text, const std::string& name, std::string& error) {
    std::vector<SDriveConfig> configs;
    std::map<std::string, std::string> settings;
    std::set<std::string> sections, seen;
    bool inSettings = false;
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    auto fail = [&](const std::string& why) {
        error = name + ":" + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, raw)) {
        ++lineNumber;
        // An editor's byte order mark is not part of the first line.
        if (lineNumber == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) raw.erase(0, 3);
        std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("section header without ']'");
            std::string section = Trim(std::string_view(line).substr(1, line.size() - 2));
            if (section.empty()) return fail("empty section name");
            if (!sections.insert(Lower(section)).second) return fail("section [" + section + "] appears twice");
            inSettings = Lower(section) == "rig";
            if (inSettings) continue;
            configs.emplace_back();
            configs.back().name = section;
            seen.clear();
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) return fail("expected key = value");
        std::string key = Trim(std::string_view(line).substr(0, equals));
        std::string value = Trim(std::string_view(line).substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (inSettings) {
            if (!settings.emplace(Lower(key), value).second) return fail("key '" + key + "' given twice");
            continue;
        }
        if (configs.empty()) return fail("key '" + key + "' before the first [drive] section");
        auto it = Keys().find(Lower(key));
        if (it == Keys().end()) {
            std::string problem;
            if (!ParseIdeRigKey(configs.back().ide, Lower(key), value, problem))
                return fail("unknown key '" + key + "'");
            if (!seen.insert(Lower(key)).second) return fail("key '" + key + "' given twice");
            if (!problem.empty()) return fail(key + " = '" + value + "': " + problem);
            continue;
        }
        if (!Repeatable(it->first) && !seen.insert(it->first).second) return fail("key '" + key + "' given twice");
        std::string problem = it->second(configs.back(), value);
        if (!problem.empty()) return fail(key + " = '" + value + "': " + problem);
    }
    // A drive's flash behind an IDE controller is its chip: as large as the
    // part, or the route's size checks would be tried on a chip that exists
    // nowhere. Only a part no one knows may have any size.
    for (SDriveConfig& config : configs) {
        if (config.ide.controller == EIdeController::None) continue;
        const uint8_t type = ChipTypeOf(config.ide);
        const uint32_t part = ChipPartSize(type);
        if (!config.flashSizeGiven || config.ide.chip.unknownId) {
            if (!config.flashSizeGiven) config.flashSize = part;
            continue;
        }
        if (config.flashSize != part) {
            char sizes[64];
            std::snprintf(sizes, sizeof sizes, "0x%X bytes, but flash_chip %u holds 0x%X", config.flashSize,
                          static_cast<unsigned>(type), part);
            error = name + ": drive [" + config.name + "]: flash_size is " + sizes +
                    " (leave flash_size out, or set chip_unknown_id = yes for a part no one knows)";
            return std::nullopt;
        }
    }
    // Two drives on one address would make the scan find only one of them.
    std::map<SAspiAddress, std::string> owners;
    for (size_t i = 0; i < configs.size(); ++i) {
        const SAspiAddress at = AspiAddressOf(configs[i], i);
        auto [it, added] = owners.emplace(at, configs[i].name);
        if (!added) {
            error = name + ": drives [" + it->second + "] and [" + configs[i].name + "] share the ASPI address " +
                    std::to_string(at.adapter) + ":" + std::to_string(at.target) + ":" + std::to_string(at.lun);
            return std::nullopt;
        }
    }
    SRig rig;
    rig.path = name;
    rig.settings = std::move(settings);
    // A relative flash file is found beside the rig file that names it; an
    // absolute one (C:\... included on Windows) is taken as it stands.
    const std::filesystem::path rigFolder = std::filesystem::path(name).parent_path();
    for (auto& config : configs) {
        if (!config.flashFile.empty() && std::filesystem::path(config.flashFile).is_relative() &&
            !rigFolder.empty())
            config.flashFile = (rigFolder / config.flashFile).generic_string();
        std::unique_ptr<ReplaySource> replay;
        if (!config.replayFile.empty()) {
            if (std::filesystem::path(config.replayFile).is_relative() && !rigFolder.empty())
                config.replayFile = (rigFolder / config.replayFile).generic_string();
            std::string why;
            replay = OpenReplay(config.replayFile, config, why);
            if (!replay) {
                error = name + ": drive [" + config.name + "]: replay = '" + config.replayFile + "': " + why;
                return std::nullopt;
            }
        }
        rig.drives.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        rig.drives.back()->SetReplay(std::move(replay));
    }
    return rig;
}

std::optional<SRig> LoadRig(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read rig file '" + path + "'";
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(file.gcount()));
        if (text.size() > kMaxRigBytes) {
            error = "rig file '" + path + "' is larger than 1 MiB";
            return std::nullopt;
        }
    }
    if (file.bad()) {
        error = "cannot read rig file '" + path + "'";
        return std::nullopt;
    }
    return ParseRig(text, path, error);
}

namespace {
struct SProcessRig {
    SRig rig;
    std::string error;
};

SProcessRig& TheProcessRig() {
    static SProcessRig state = [] {
        SProcessRig s;
        const char* path = std::getenv("JORVANE_RIG");
        if (path && *path) {
            if (auto rig = LoadRig(path, s.error)) s.rig = std::move(*rig);
        }
        return s;
    }();
    return state;
}
}  // namespace

SRig& ProcessRig() { return TheProcessRig().rig; }
const std::string& ProcessRigError() { return TheProcessRig().error; }

}  // namespace jv::sim
