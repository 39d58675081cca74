#include "drive/Autoinsertnotification.h"

#include <vector>

#include "platform/Console.h"

namespace jv {

namespace {
constexpr const char* kKeyPrefix = "Enum\\SCSI\\";
constexpr size_t kPrefixLength = 10;
constexpr size_t kNameCharacters = 25;

// The version is the device name's characters 24 to 27. The value matches
// when its first four characters equal them, the way a bounded string
// comparison sees it: a value that ends early matches only a name that ends
// at the same place.
bool RevisionMatches(const uint8_t* value, uint32_t valueLength, const std::string& deviceName) {
    for (size_t i = 0; i < 4; ++i) {
        const char have = i < valueLength ? static_cast<char>(value[i]) : '\0';
        const char want = 24 + i < deviceName.size() ? deviceName[24 + i] : '\0';
        if (have != want) return false;
        if (have == '\0') return true;
    }
    return true;
}
}  // namespace

std::string DriveKeyPath(const std::string& deviceName) {
    // The name goes in as a C string would: up to its first NUL.
    std::string path = kKeyPrefix + deviceName.substr(0, deviceName.find('\0'));
    if (path.size() > kPrefixLength + kNameCharacters) path.resize(kPrefixLength + kNameCharacters);
    for (size_t i = kPrefixLength; i < path.size(); ++i)
        if (path[i] == ' ') path[i] = '_';
    return path;
}

bool OpenDriveKey(const std::string& deviceName, Registry::Key& instanceKey) {
    Registry& registry = TheRegistry();
    Registry::Key deviceKey = 0;
    if (!registry.Open(Registry::kLocalMachine, DriveKeyPath(deviceName), deviceKey)) return false;

    std::vector<std::string> names;
    std::string name;
    for (uint32_t index = 0; registry.EnumKey(deviceKey, index, name); ++index) names.push_back(name);

    for (const std::string& subkey : names) {
        Registry::Key key = 0;
        if (!registry.Open(deviceKey, subkey, key)) {
            registry.Close(deviceKey);
            return false;
        }
        uint8_t revision[8] = {};
        uint32_t length = sizeof revision;
        if (registry.QueryValue(key, "RevisionLevel", revision, length) &&
            RevisionMatches(revision, length, deviceName)) {
            registry.Close(deviceKey);
            instanceKey = key;
            return true;
        }
        registry.Close(key);
    }
    registry.Close(deviceKey);
    return false;
}

uint8_t ReadAutoInsert(const std::string& deviceName) {
    Registry::Key key = 0;
    if (!OpenDriveKey(deviceName, key)) return kAutoInsertUnknown;
    uint8_t value = 0;
    uint32_t length = 1;
    const bool read = TheRegistry().QueryValue(key, "AutoInsertNotification", &value, length) && length == 1;
    TheRegistry().Close(key);
    return read ? value : kAutoInsertUnknown;
}

bool WriteAutoInsert(const std::string& deviceName, uint8_t value) {
    Registry::Key key = 0;
    if (!OpenDriveKey(deviceName, key)) return false;
    const bool written = TheRegistry().SetBinaryValue(key, "AutoInsertNotification", &value, 1);
    TheRegistry().Close(key);
    return written;
}

bool SwitchOffAutoInsert(const std::string& deviceName) {
    if (ReadAutoInsert(deviceName) != kAutoInsertOn) return false;
    WriteAutoInsert(deviceName, kAutoInsertOff);
    Print("Owing to the restriction of Windows 98/ME,\n");
    Print("the auto-insert notification must be shutdowned.\n");
    Print("It has been done, but you have to restart os and execute this tool again!\n");
    return true;
}

void OfferAutoInsertOn(const std::string& deviceName, bool silent) {
    if (silent) {
        WriteAutoInsert(deviceName, kAutoInsertOn);
        return;
    }
    Print("Would you like to activate the auto-insert notification ? (Y/N)\n");
    if (AskYes()) {
        Print("y\n");
        WriteAutoInsert(deviceName, kAutoInsertOn);
    }
}

}  // namespace jv
