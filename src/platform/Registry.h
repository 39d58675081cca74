#pragma once
// The system registry as the auto-insert notification code uses it: keys
// under the local-machine hive, opened, listed, read, written and closed.
// Windows has the real one; the simulator and the tests keep one in memory
// so the same logic runs on every host.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace jv {

class Registry {
public:
    using Key = uintptr_t;  // 0 is no key
    static constexpr Key kLocalMachine = 0x80000002;

    virtual ~Registry() = default;
    // Opens a subkey with full access; false when it does not exist.
    virtual bool Open(Key parent, const std::string& path, Key& key) = 0;
    // The name of subkey number index; false when there are no more.
    virtual bool EnumKey(Key key, uint32_t index, std::string& name) = 0;
    // Reads a value into a buffer of size bytes; size becomes the value's
    // length. False when it is missing or does not fit.
    virtual bool QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) = 0;
    virtual bool SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) = 0;
    virtual void Close(Key key) = 0;
};

// The registry the program uses: the installed one, or the binding's default.
Registry& TheRegistry();
void SetRegistry(Registry* registry);
// Provided by the platform binding linked into each program.
Registry& DefaultRegistry();

// A registry held in memory. Paths use backslashes and compare without
// regard to case, as the real one does.
class MemoryRegistry final : public Registry {
public:
    bool Open(Key parent, const std::string& path, Key& key) override;
    bool EnumKey(Key key, uint32_t index, std::string& name) override;
    bool QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) override;
    bool SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) override;
    void Close(Key key) override;

    // What a value holds, so a saved copy can be read back as it was set.
    enum class EValueKind : uint8_t { Binary, String };
    struct SValueEntry {
        std::string name;  // as first set
        EValueKind kind = EValueKind::Binary;
        std::vector<uint8_t> data;
    };
    struct SKeyEntry {
        std::string path;  // below the local-machine hive, as created
        bool hasSubkeys = false;
        std::vector<SValueEntry> values;  // in the order they were first set
    };
    // Every key, each parent before its subkeys, subkeys in creation order.
    std::vector<SKeyEntry> Keys() const;

    // Test set-up and inspection, by full path below the local-machine hive.
    void CreateKey(const std::string& path);
    void SetValue(const std::string& path, const std::string& name, std::vector<uint8_t> data);
    void SetString(const std::string& path, const std::string& name, const std::string& text);
    bool GetValue(const std::string& path, const std::string& name, std::vector<uint8_t>& data) const;
    // Keys opened and not yet closed.
    size_t OpenKeys() const { return open_.size(); }
    // Every value write, for tests that check nothing was written.
    size_t Writes() const { return writes_; }

private:
    struct SNode {
        std::string name;  // as created
        std::map<std::string, std::unique_ptr<SNode>> children;  // by lower-case name, in creation order below
        std::vector<std::string> order;
        std::map<std::string, SValueEntry> values;  // by lower-case name, in first-set order below
        std::vector<std::string> valueOrder;
    };
    SNode* Find(const SNode* from, const std::string& path) const;
    SNode* Make(const std::string& path);
    static void Put(SNode& node, const std::string& name, EValueKind kind, std::vector<uint8_t> data);
    void Collect(const SNode& node, const std::string& path, std::vector<SKeyEntry>& keys) const;

    SNode root_;
    std::map<Key, SNode*> open_;
    Key nextKey_ = 0x100;
    size_t writes_ = 0;
};

// The Win32 registry (Windows only).
std::unique_ptr<Registry> MakeWin32Registry();

// Installs a registry for one scope.
class ScopedRegistry {
public:
    explicit ScopedRegistry(Registry& registry) { SetRegistry(&registry); }
    ~ScopedRegistry() { SetRegistry(nullptr); }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;
};

}  // namespace jv
