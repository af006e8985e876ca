// The machine's registry: one case-insensitive tree of typed values under \REGISTRY, shared by the
// kernel calls (Zw..., Rtl...Registry...) and the user-mode calls, loaded from and saved to .reg text.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nt {

struct RegValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const RegValue&) const = default;
};

struct RegKey {
    std::u16string name;
    RegKey* parent = nullptr;
    bool deleted = false;
    std::vector<std::shared_ptr<RegKey>> subkeys; // kept in case-insensitive name order
    std::vector<RegValue> values;                 // kept in the order they were created (change them
                                                  // through setValue and removeValue)

    std::shared_ptr<RegKey> subkey(std::u16string_view name) const;
    RegValue* value(std::u16string_view name);
    const RegValue* value(std::u16string_view name) const;
    // Sets a value, made at the end of the list when the key has none of that name.
    RegValue& setValue(std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
    bool removeValue(std::u16string_view name);
    // Full kernel path, e.g. \REGISTRY\MACHINE\SYSTEM.
    std::u16string path() const;

private:
    // The values by upper-case name, so that a key with many values is as quick as one with few.
    mutable std::unordered_map<std::u16string, size_t> index_;
    void reindex() const;
};

// Case-insensitive comparison of names as the registry does it.
bool namesEqual(std::u16string_view a, std::u16string_view b);
int compareNames(std::u16string_view a, std::u16string_view b);
char16_t upcase(char16_t c);

struct RegLoadResult {
    bool ok = true;
    std::string error; // "file:line: expected ..." when refused
    size_t keys = 0;   // key lines applied
    size_t values = 0; // value lines applied
    explicit operator bool() const { return ok; }
};

class Registry {
public:
    Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::shared_ptr<RegKey> root() const { return root_; }

    // Paths are absolute kernel paths ("\Registry\Machine\...") or start with a hive name as in .reg
    // files ("HKEY_LOCAL_MACHINE\..."); names compare case-insensitively.
    std::shared_ptr<RegKey> open(std::u16string_view path) const;
    std::shared_ptr<RegKey> open(std::string_view path) const;
    std::shared_ptr<RegKey> openBelow(const RegKey& base, std::u16string_view relativePath) const;
    // Creates the key and any missing keys above it.
    std::shared_ptr<RegKey> create(std::string_view path);
    std::shared_ptr<RegKey> createBelow(RegKey& base, std::u16string_view relativePath,
                                        bool* created = nullptr);
    // Removes a key with everything below it; handles still open on them see the keys as deleted.
    bool removeTree(std::string_view path);
    void unlink(RegKey& key);

    // Host-side conveniences (UTF-8 names).
    void setValue(std::string_view keyPath, std::string_view name, uint32_t type, std::vector<uint8_t> data);
    void setDword(std::string_view keyPath, std::string_view name, uint32_t value);
    void setString(std::string_view keyPath, std::string_view name, std::string_view text, uint32_t type = 1);
    void setMultiString(std::string_view keyPath, std::string_view name,
                        const std::vector<std::string>& items);
    bool removeValue(std::string_view keyPath, std::string_view name);
    bool exists(std::string_view keyPath) const { return open(keyPath) != nullptr; }
    std::optional<RegValue> value(std::string_view keyPath, std::string_view name) const;
    std::optional<uint32_t> dword(std::string_view keyPath, std::string_view name) const;
    std::optional<std::string> string(std::string_view keyPath, std::string_view name) const;
    std::vector<std::string> subkeyNames(std::string_view keyPath) const;

    // .reg text. A refused text changes nothing.
    RegLoadResult loadText(std::string_view text, std::string_view sourceName);
    RegLoadResult loadFile(const std::string& filePath);
    // Writes the tree below `keyPath` (every hive when empty) as "Windows Registry Editor Version 5.00".
    std::string saveText(std::string_view keyPath = {}) const;
    // A canonical listing of the whole tree with exact names, types and data, for comparisons.
    std::string dump() const;

    // The values programs write, in order, as (key path, value name), while the log runs (for tests of
    // what a program writes when).
    void startWriteLog() {
        writeLog_.clear();
        logging_ = true;
    }
    void noteWrite(std::u16string_view keyPath, std::u16string_view name);
    const std::vector<std::pair<std::string, std::string>>& writeLog() const { return writeLog_; }

    // Kernel handles to open keys.
    uintptr_t openHandle(std::shared_ptr<RegKey> key, uint32_t access);
    std::shared_ptr<RegKey> handleKey(uintptr_t handle, uint32_t* access = nullptr) const;
    bool closeHandle(uintptr_t handle);
    size_t openHandles() const { return handles_.size(); }

private:
    struct Handle {
        std::shared_ptr<RegKey> key;
        uint32_t access;
    };
    std::shared_ptr<RegKey> root_;
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_ = 0x80;
    bool logging_ = false;
    std::vector<std::pair<std::string, std::string>> writeLog_;
};

// Value data helpers.
std::vector<uint8_t> stringData(std::u16string_view text); // with terminator
std::vector<uint8_t> multiStringData(const std::vector<std::u16string>& items);
std::vector<uint8_t> dwordData(uint32_t value);

} // namespace nt
