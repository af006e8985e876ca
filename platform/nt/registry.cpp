#include "platform/nt/registry.h"

#include "platform/nt/kernel.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace nt {

char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

int compareNames(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = upcase(a[i]), y = upcase(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool namesEqual(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && compareNames(a, b) == 0;
}

std::shared_ptr<RegKey> RegKey::subkey(std::u16string_view childName) const {
    // The subkeys are kept in name order.
    auto it = std::lower_bound(
        subkeys.begin(), subkeys.end(), childName,
        [](const auto& key, std::u16string_view n) { return compareNames(key->name, n) < 0; });
    return it != subkeys.end() && namesEqual((*it)->name, childName) ? *it : nullptr;
}

namespace {
std::u16string Upper(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out)
        c = upcase(c);
    return out;
}
} // namespace

void RegKey::reindex() const {
    index_.clear();
    for (size_t i = 0; i < values.size(); ++i)
        index_.emplace(Upper(values[i].name), i);
}

RegValue* RegKey::value(std::u16string_view valueName) {
    if (index_.size() != values.size())
        reindex();
    auto it = index_.find(Upper(valueName));
    if (it == index_.end())
        return nullptr;
    if (it->second >= values.size() || !namesEqual(values[it->second].name, valueName)) {
        reindex(); // the list was changed behind the index
        it = index_.find(Upper(valueName));
        if (it == index_.end())
            return nullptr;
    }
    return &values[it->second];
}

const RegValue* RegKey::value(std::u16string_view valueName) const {
    return const_cast<RegKey*>(this)->value(valueName);
}

RegValue& RegKey::setValue(std::u16string_view valueName, uint32_t type, std::vector<uint8_t> data) {
    if (RegValue* existing = value(valueName)) {
        existing->type = type;
        existing->data = std::move(data);
        return *existing;
    }
    values.push_back(RegValue{std::u16string(valueName), type, std::move(data)});
    index_.emplace(Upper(valueName), values.size() - 1);
    return values.back();
}

bool RegKey::removeValue(std::u16string_view valueName) {
    RegValue* v = value(valueName);
    if (!v)
        return false;
    values.erase(values.begin() + (v - values.data()));
    reindex();
    return true;
}

std::u16string RegKey::path() const {
    if (!parent)
        return u"\\" + name;
    return parent->path() + u"\\" + name;
}

namespace {

std::vector<std::u16string_view> splitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Maps a hive name of .reg files to the kernel path below \REGISTRY.
std::optional<std::u16string> hiveToKernel(std::u16string_view hive) {
    if (namesEqual(hive, u"HKEY_LOCAL_MACHINE") || namesEqual(hive, u"HKLM"))
        return u"MACHINE";
    if (namesEqual(hive, u"HKEY_USERS") || namesEqual(hive, u"HKU"))
        return u"USER";
    return std::nullopt;
}

// Turns either form of path into the list of names below the root key \REGISTRY.
std::optional<std::vector<std::u16string>> resolve(std::u16string_view path) {
    auto parts = splitPath(path);
    std::vector<std::u16string> names;
    if (parts.empty())
        return names;
    size_t first = 0;
    if (namesEqual(parts[0], u"REGISTRY")) {
        first = 1;
    } else if (auto hive = hiveToKernel(parts[0])) {
        names.push_back(*hive);
        first = 1;
    } else {
        return std::nullopt;
    }
    for (size_t i = first; i < parts.size(); ++i)
        names.emplace_back(parts[i]);
    return names;
}

void insertSorted(RegKey& parent, std::shared_ptr<RegKey> child) {
    auto at =
        std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), child,
                         [](const auto& a, const auto& b) { return compareNames(a->name, b->name) < 0; });
    child->parent = &parent;
    parent.subkeys.insert(at, std::move(child));
}

void markDeleted(RegKey& key) {
    key.deleted = true;
    for (auto& child : key.subkeys)
        markDeleted(*child);
}

} // namespace

Registry::Registry() : root_(std::make_shared<RegKey>()) {
    root_->name = u"REGISTRY";
    // The skeleton every NT machine has before any configuration is loaded.
    create("\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
    create("\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System");
    create("\\Registry\\Machine\\HARDWARE\\RESOURCEMAP");
    create("\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    create("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control");
    create("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System");
    create("\\Registry\\User\\.DEFAULT");
}

std::shared_ptr<RegKey> Registry::openBelow(const RegKey& base, std::u16string_view relativePath) const {
    std::shared_ptr<RegKey> key;
    const RegKey* at = &base;
    for (auto part : splitPath(relativePath)) {
        key = at->subkey(part);
        if (!key)
            return nullptr;
        at = key.get();
    }
    if (!key) {
        // An empty relative path names the base itself.
        if (base.parent == nullptr)
            return root_;
        return base.parent->subkey(base.name);
    }
    return key;
}

std::shared_ptr<RegKey> Registry::open(std::u16string_view path) const {
    auto names = resolve(path);
    if (!names)
        return nullptr;
    std::shared_ptr<RegKey> key = root_;
    for (const auto& name : *names) {
        key = key->subkey(name);
        if (!key)
            return nullptr;
    }
    return key;
}

std::shared_ptr<RegKey> Registry::open(std::string_view path) const {
    return open(toUtf16(path));
}

std::shared_ptr<RegKey> Registry::createBelow(RegKey& base, std::u16string_view relativePath, bool* created) {
    if (created)
        *created = false;
    RegKey* at = &base;
    std::shared_ptr<RegKey> key;
    for (auto part : splitPath(relativePath)) {
        key = at->subkey(part);
        if (!key) {
            key = std::make_shared<RegKey>();
            key->name = std::u16string(part);
            insertSorted(*at, key);
            if (created)
                *created = true;
        }
        at = key.get();
    }
    return key;
}

std::shared_ptr<RegKey> Registry::create(std::string_view path) {
    auto names = resolve(toUtf16(path));
    if (!names)
        throw std::invalid_argument("registry path outside the known hives: " + std::string(path));
    std::u16string relative;
    for (const auto& n : *names)
        relative += n + u"\\";
    auto key = createBelow(*root_, relative);
    return key ? key : root_;
}

void Registry::unlink(RegKey& key) {
    RegKey* parent = key.parent;
    markDeleted(key);
    if (!parent)
        return;
    auto& list = parent->subkeys;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& k) { return k.get() == &key; }),
               list.end());
}

bool Registry::removeTree(std::string_view path) {
    auto key = open(path);
    if (!key || key == root_)
        return false;
    unlink(*key);
    return true;
}

void Registry::setValue(std::string_view keyPath, std::string_view name, uint32_t type,
                        std::vector<uint8_t> data) {
    auto key = create(keyPath);
    key->setValue(toUtf16(name), type, std::move(data));
}

void Registry::setDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    setValue(keyPath, name, 4, dwordData(value));
}

void Registry::setString(std::string_view keyPath, std::string_view name, std::string_view text,
                         uint32_t type) {
    setValue(keyPath, name, type, stringData(toUtf16(text)));
}

void Registry::setMultiString(std::string_view keyPath, std::string_view name,
                              const std::vector<std::string>& items) {
    std::vector<std::u16string> wide;
    for (const auto& item : items)
        wide.push_back(toUtf16(item));
    setValue(keyPath, name, 7, multiStringData(wide));
}

bool Registry::removeValue(std::string_view keyPath, std::string_view name) {
    auto key = open(keyPath);
    if (!key)
        return false;
    return key->removeValue(toUtf16(name));
}

std::optional<RegValue> Registry::value(std::string_view keyPath, std::string_view name) const {
    auto key = open(keyPath);
    if (!key)
        return std::nullopt;
    if (const RegValue* v = key->value(toUtf16(name)))
        return *v;
    return std::nullopt;
}

std::optional<uint32_t> Registry::dword(std::string_view keyPath, std::string_view name) const {
    auto v = value(keyPath, name);
    if (!v || v->data.size() != 4)
        return std::nullopt;
    return static_cast<uint32_t>(v->data[0] | v->data[1] << 8 | v->data[2] << 16 |
                                 static_cast<uint32_t>(v->data[3]) << 24);
}

std::optional<std::string> Registry::string(std::string_view keyPath, std::string_view name) const {
    auto v = value(keyPath, name);
    if (!v)
        return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v->data[i] | v->data[i + 1] << 8);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return toUtf8(text);
}

std::vector<std::string> Registry::subkeyNames(std::string_view keyPath) const {
    std::vector<std::string> names;
    if (auto key = open(keyPath))
        for (const auto& child : key->subkeys)
            names.push_back(toUtf8(child->name));
    return names;
}

uintptr_t Registry::openHandle(std::shared_ptr<RegKey> key, uint32_t access) {
    uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = Handle{std::move(key), access};
    return handle;
}

std::shared_ptr<RegKey> Registry::handleKey(uintptr_t handle, uint32_t* access) const {
    auto it = handles_.find(handle);
    if (it == handles_.end())
        return nullptr;
    if (access)
        *access = it->second.access;
    return it->second.key;
}

bool Registry::closeHandle(uintptr_t handle) {
    return handles_.erase(handle) != 0;
}

namespace {
void dumpKey(const RegKey& key, std::string& out) {
    out += toUtf8(key.path()) + "\n";
    for (const auto& v : key.values) {
        char head[32];
        std::snprintf(head, sizeof head, "  [%u] ", v.type);
        out += head + toUtf8(v.name) + " =";
        for (uint8_t b : v.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", b);
            out += hex;
        }
        out += "\n";
    }
    for (const auto& child : key.subkeys)
        dumpKey(*child, out);
}
} // namespace

std::string Registry::dump() const {
    std::string out;
    dumpKey(*root_, out);
    return out;
}

std::vector<uint8_t> stringData(std::u16string_view text) {
    std::vector<uint8_t> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> multiStringData(const std::vector<std::u16string>& items) {
    std::vector<uint8_t> data;
    for (const auto& item : items) {
        auto one = stringData(item);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> dwordData(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

} // namespace nt

namespace nt {

void Registry::noteWrite(std::u16string_view keyPath, std::u16string_view name) {
    if (logging_)
        writeLog_.emplace_back(toUtf8(keyPath), toUtf8(name));
}

} // namespace nt
