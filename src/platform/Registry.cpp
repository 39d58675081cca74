#include "platform/Registry.h"

#include <cctype>
#include <cstring>

namespace jv {

namespace {
Registry* g_installed = nullptr;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}
}  // namespace

Registry& TheRegistry() { return g_installed ? *g_installed : DefaultRegistry(); }
void SetRegistry(Registry* registry) { g_installed = registry; }

MemoryRegistry::SNode* MemoryRegistry::Find(const SNode* from, const std::string& path) const {
    const SNode* node = from;
    for (const std::string& part : SplitPath(path)) {
        auto it = node->children.find(Lower(part));
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return const_cast<SNode*>(node);
}

MemoryRegistry::SNode* MemoryRegistry::Make(const std::string& path) {
    SNode* node = &root_;
    for (const std::string& part : SplitPath(path)) {
        const std::string key = Lower(part);
        auto it = node->children.find(key);
        if (it == node->children.end()) {
            auto child = std::make_unique<SNode>();
            child->name = part;
            node->order.push_back(key);
            it = node->children.emplace(key, std::move(child)).first;
        }
        node = it->second.get();
    }
    return node;
}

bool MemoryRegistry::Open(Key parent, const std::string& path, Key& key) {
    const SNode* from = nullptr;
    if (parent == kLocalMachine) {
        from = &root_;
    } else {
        auto it = open_.find(parent);
        if (it == open_.end()) return false;
        from = it->second;
    }
    SNode* node = Find(from, path);
    if (!node) return false;
    key = nextKey_++;
    open_[key] = node;
    return true;
}

bool MemoryRegistry::EnumKey(Key key, uint32_t index, std::string& name) {
    auto it = open_.find(key);
    if (it == open_.end() || index >= it->second->order.size()) return false;
    name = it->second->children.at(it->second->order[index])->name;
    return true;
}

bool MemoryRegistry::QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) {
    auto it = open_.find(key);
    if (it == open_.end()) return false;
    auto value = it->second->values.find(Lower(name));
    if (value == it->second->values.end()) return false;
    const std::vector<uint8_t>& bytes = value->second.data;
    const auto needed = static_cast<uint32_t>(bytes.size());
    // Like the real registry: a value that does not fit is not read at all.
    if (needed > size) {
        size = needed;
        return false;
    }
    if (needed > 0) std::memcpy(data, bytes.data(), needed);
    size = needed;
    return true;
}

bool MemoryRegistry::SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) {
    auto it = open_.find(key);
    if (it == open_.end()) return false;
    Put(*it->second, name, EValueKind::Binary, std::vector<uint8_t>(data, data + size));
    ++writes_;
    return true;
}

void MemoryRegistry::Close(Key key) { open_.erase(key); }

void MemoryRegistry::CreateKey(const std::string& path) { Make(path); }

void MemoryRegistry::Put(SNode& node, const std::string& name, EValueKind kind, std::vector<uint8_t> data) {
    const std::string key = Lower(name);
    auto it = node.values.find(key);
    if (it == node.values.end()) {
        node.valueOrder.push_back(key);
        it = node.values.emplace(key, SValueEntry{name, kind, {}}).first;
    }
    it->second.kind = kind;
    it->second.data = std::move(data);
}

void MemoryRegistry::SetValue(const std::string& path, const std::string& name, std::vector<uint8_t> data) {
    Put(*Make(path), name, EValueKind::Binary, std::move(data));
}

void MemoryRegistry::SetString(const std::string& path, const std::string& name, const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    Put(*Make(path), name, EValueKind::String, std::move(data));
}

bool MemoryRegistry::GetValue(const std::string& path, const std::string& name, std::vector<uint8_t>& data) const {
    const SNode* node = Find(&root_, path);
    if (!node) return false;
    auto it = node->values.find(Lower(name));
    if (it == node->values.end()) return false;
    data = it->second.data;
    return true;
}

void MemoryRegistry::Collect(const SNode& node, const std::string& path, std::vector<SKeyEntry>& keys) const {
    SKeyEntry entry;
    entry.path = path;
    entry.hasSubkeys = !node.order.empty();
    for (const std::string& key : node.valueOrder) entry.values.push_back(node.values.at(key));
    keys.push_back(std::move(entry));
    for (const std::string& key : node.order) {
        const SNode& child = *node.children.at(key);
        Collect(child, path + "\\" + child.name, keys);
    }
}

std::vector<MemoryRegistry::SKeyEntry> MemoryRegistry::Keys() const {
    std::vector<SKeyEntry> keys;
    for (const std::string& key : root_.order) {
        const SNode& child = *root_.children.at(key);
        Collect(child, child.name, keys);
    }
    return keys;
}

}  // namespace jv
