// The system registry of Windows, under the local-machine hive.
#ifdef _WIN32
#include <windows.h>

#include "platform/Registry.h"

namespace jv {
namespace {

HKEY ToKey(Registry::Key key) {
    return key == Registry::kLocalMachine ? HKEY_LOCAL_MACHINE : reinterpret_cast<HKEY>(key);
}

class Win32Registry final : public Registry {
public:
    bool Open(Key parent, const std::string& path, Key& key) override {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(ToKey(parent), path.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS) return false;
        key = reinterpret_cast<Key>(opened);
        return true;
    }
    bool EnumKey(Key key, uint32_t index, std::string& name) override {
        char buffer[256];
        DWORD length = sizeof buffer;
        if (RegEnumKeyExA(ToKey(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        name.assign(buffer, length);
        return true;
    }
    bool QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) override {
        DWORD length = size;
        const LONG result = RegQueryValueExA(ToKey(key), name.c_str(), nullptr, nullptr, data, &length);
        size = length;
        return result == ERROR_SUCCESS;
    }
    bool SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) override {
        return RegSetValueExA(ToKey(key), name.c_str(), 0, REG_BINARY, data, size) == ERROR_SUCCESS;
    }
    void Close(Key key) override { RegCloseKey(ToKey(key)); }
};

}  // namespace

std::unique_ptr<Registry> MakeWin32Registry() { return std::make_unique<Win32Registry>(); }

}  // namespace jv
#endif
