// The kernel's registry calls (Zw...Key and the Rtl...Registry... helpers) over the machine's registry.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"
#include "platform/nt/registry.h"

#include <cstring>
#include <string>

using nt::Kernel;
using nt::RegKey;
using nt::RegValue;

namespace {

constexpr ULONG kQueryTag = nt::makeTag("RtlQ");

Kernel& passive(const char* call) {
    Kernel& k = Kernel::require(call);
    if (k.irql() != PASSIVE_LEVEL)
        k.verifierStop(call,
                       "registry calls are made at PASSIVE_LEVEL, not IRQL " + std::to_string(k.irql()));
    return k;
}

std::u16string_view view(PCUNICODE_STRING s) {
    if (!s || !s->Buffer)
        return {};
    return {s->Buffer, s->Length / sizeof(WCHAR)};
}

std::u16string_view view(PCWSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

// The key behind a handle, with the access it was opened for.
NTSTATUS keyFromHandle(Kernel& k, HANDLE handle, ACCESS_MASK needed, std::shared_ptr<RegKey>& key) {
    ACCESS_MASK granted = 0;
    key = k.registry().handleKey(reinterpret_cast<uintptr_t>(handle), &granted);
    if (!key)
        return STATUS_INVALID_HANDLE;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (needed && (granted & needed) != needed)
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

// Splits "a\b\c" into its names; an empty name between backslashes is a syntax error.
bool splitNames(std::u16string_view path, std::vector<std::u16string>& names) {
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end == start)
            return false;
        names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// Resolves object attributes to the parent key and the names below it.
NTSTATUS resolve(Kernel& k, POBJECT_ATTRIBUTES attributes, std::shared_ptr<RegKey>& base,
                 std::vector<std::u16string>& names) {
    std::u16string_view path = view(attributes->ObjectName);
    if (attributes->RootDirectory) {
        NTSTATUS status = keyFromHandle(k, attributes->RootDirectory, 0, base);
        if (!NT_SUCCESS(status))
            return status;
        if (!path.empty() && path.front() == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (path.empty() || path.front() != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        path.remove_prefix(1);
        size_t slash = path.find(u'\\');
        if (!nt::namesEqual(path.substr(0, slash), u"REGISTRY"))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        path = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
        base = k.registry().root();
    }
    if (!path.empty() && path.back() == u'\\')
        path.remove_suffix(1);
    return splitNames(path, names) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

std::shared_ptr<RegKey> walk(std::shared_ptr<RegKey> key, const std::vector<std::u16string>& names,
                             size_t count) {
    for (size_t i = 0; i < count && key; ++i)
        key = key->subkey(names[i]);
    return key;
}

// Fills a variable-size information structure: `header` fixed bytes, then the tail.
NTSTATUS fillInformation(const std::vector<uint8_t>& whole, size_t header, PVOID buffer, ULONG length,
                         PULONG resultLength) {
    *resultLength = static_cast<ULONG>(whole.size());
    if (length < header)
        return STATUS_BUFFER_TOO_SMALL;
    size_t copy = whole.size() < length ? whole.size() : length;
    std::memcpy(buffer, whole.data(), copy);
    return copy < whole.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename T>
void put(std::vector<uint8_t>& out, size_t offset, T value) {
    if (out.size() < offset + sizeof(T))
        out.resize(offset + sizeof(T));
    std::memcpy(out.data() + offset, &value, sizeof(T));
}

void putName(std::vector<uint8_t>& out, size_t offset, std::u16string_view name) {
    out.resize(offset + name.size() * sizeof(WCHAR));
    std::memcpy(out.data() + offset, name.data(), name.size() * sizeof(WCHAR));
}

NTSTATUS valueInformation(const RegValue& value, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                          PULONG resultLength) {
    std::vector<uint8_t> out;
    ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    switch (cls) {
    case KeyValueBasicInformation: {
        size_t header = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        put<ULONG>(out, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        put<ULONG>(out, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        putName(out, header, value.name);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    case KeyValueFullInformation: {
        size_t header = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = static_cast<ULONG>((header + nameBytes + 3) & ~size_t{3});
        put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        putName(out, header, value.name);
        out.resize(dataOffset + dataBytes);
        if (dataBytes)
            std::memcpy(out.data() + dataOffset, value.data.data(), dataBytes);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
        size_t header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        put<ULONG>(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        put<ULONG>(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        out.resize(header + dataBytes);
        if (dataBytes)
            std::memcpy(out.data() + header, value.data.data(), dataBytes);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS keyInformation(const RegKey& key, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                        PULONG resultLength) {
    std::vector<uint8_t> out;
    ULONG nameBytes = static_cast<ULONG>(key.name.size() * sizeof(WCHAR));
    switch (cls) {
    case KeyBasicInformation: {
        size_t header = offsetof(KEY_BASIC_INFORMATION, Name);
        put<LONGLONG>(out, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), 0);
        put<ULONG>(out, offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
        putName(out, header, key.name);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    case KeyNodeInformation: {
        size_t header = offsetof(KEY_NODE_INFORMATION, Name);
        put<LONGLONG>(out, offsetof(KEY_NODE_INFORMATION, LastWriteTime), 0);
        put<ULONG>(out, offsetof(KEY_NODE_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_NODE_INFORMATION, ClassOffset), 0xFFFFFFFF); // no class
        put<ULONG>(out, offsetof(KEY_NODE_INFORMATION, ClassLength), 0);
        put<ULONG>(out, offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
        putName(out, header, key.name);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    case KeyFullInformation: {
        size_t header = offsetof(KEY_FULL_INFORMATION, Class);
        ULONG maxName = 0, maxValueName = 0, maxValueData = 0;
        for (const auto& child : key.subkeys)
            maxName = std::max<ULONG>(maxName, static_cast<ULONG>(child->name.size() * sizeof(WCHAR)));
        for (const auto& v : key.values) {
            maxValueName = std::max<ULONG>(maxValueName, static_cast<ULONG>(v.name.size() * sizeof(WCHAR)));
            maxValueData = std::max<ULONG>(maxValueData, static_cast<ULONG>(v.data.size()));
        }
        put<LONGLONG>(out, offsetof(KEY_FULL_INFORMATION, LastWriteTime), 0);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, TitleIndex), 0);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, ClassOffset), 0xFFFFFFFF);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, ClassLength), 0);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.subkeys.size()));
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxClassLen), 0);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
        put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxValueData);
        out.resize(header);
        return fillInformation(out, header, buffer, length, resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

} // namespace

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG /*TitleIndex*/, PUNICODE_STRING /*Class*/, ULONG /*CreateOptions*/,
                     PULONG Disposition) {
    Kernel& k = passive("ZwCreateKey");
    std::shared_ptr<RegKey> base;
    std::vector<std::u16string> names;
    NTSTATUS status = resolve(k, ObjectAttributes, base, names);
    if (!NT_SUCCESS(status))
        return status;
    if (names.empty()) {
        if (Disposition)
            *Disposition = REG_OPENED_EXISTING_KEY;
        *KeyHandle = reinterpret_cast<HANDLE>(k.registry().openHandle(base, DesiredAccess));
        return STATUS_SUCCESS;
    }
    // Only the last name may be new: the keys above it must exist.
    std::shared_ptr<RegKey> parent = walk(base, names, names.size() - 1);
    if (!parent)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    bool created = false;
    std::shared_ptr<RegKey> key = k.registry().createBelow(*parent, names.back(), &created);
    if (Disposition)
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *KeyHandle = reinterpret_cast<HANDLE>(k.registry().openHandle(key, DesiredAccess));
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    Kernel& k = passive("ZwOpenKey");
    std::shared_ptr<RegKey> base;
    std::vector<std::u16string> names;
    NTSTATUS status = resolve(k, ObjectAttributes, base, names);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<RegKey> key = walk(base, names, names.size());
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = reinterpret_cast<HANDLE>(k.registry().openHandle(key, DesiredAccess));
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    Kernel& k = passive("ZwQueryValueKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    const RegValue* value = key->value(view(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return valueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG /*TitleIndex*/, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    Kernel& k = passive("ZwSetValueKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    const auto* bytes = static_cast<const uint8_t*>(Data);
    std::vector<uint8_t> data(bytes, bytes + (Data ? DataSize : 0));
    std::u16string_view name = view(ValueName);
    key->setValue(name, Type, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    Kernel& k = passive("ZwDeleteValueKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    return key->removeValue(view(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    Kernel& k = passive("ZwEnumerateKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, KEY_ENUMERATE_SUB_KEYS, key);
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    return keyInformation(*key->subkeys[Index], KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength) {
    Kernel& k = passive("ZwEnumerateValueKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return valueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                            ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
    Kernel& k = passive("ZwQueryKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, 0, key);
    if (!NT_SUCCESS(status))
        return status;
    return keyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    Kernel& k = passive("ZwDeleteKey");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = keyFromHandle(k, KeyHandle, DELETE, key);
    if (!NT_SUCCESS(status))
        return status;
    if (!key->parent || key->parent == k.registry().root().get())
        return STATUS_ACCESS_DENIED; // hive roots stay
    if (!key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    k.registry().unlink(*key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    Kernel& k = Kernel::require("ZwClose");
    if (!k.registry().closeHandle(reinterpret_cast<uintptr_t>(Handle)))
        k.verifierStop("ZwClose", "the handle is not an open handle");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Rtl registry helpers
// ---------------------------------------------------------------------------------------------
namespace {

const char16_t* relativeRoot(ULONG relativeTo) {
    switch (relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE)) {
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.Default\\";
    default:
        return u"";
    }
}

// Opens (or, with `create`, opens or creates the last name of) the key an Rtl call names.
NTSTATUS rtlOpen(Kernel& k, ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK access,
                 std::shared_ptr<RegKey>& key) {
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return keyFromHandle(k, const_cast<PWSTR>(path), 0, key);
    if ((relativeTo & ~RTL_REGISTRY_OPTIONAL) >= RTL_REGISTRY_MAXIMUM)
        return STATUS_INVALID_PARAMETER;
    std::u16string full = relativeRoot(relativeTo);
    full += view(path);
    UNICODE_STRING name{static_cast<USHORT>(full.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(full.size() * sizeof(WCHAR)), full.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = create ? ZwCreateKey(&handle, access, &attributes, 0, nullptr, 0, nullptr)
                             : ZwOpenKey(&handle, access, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    key = k.registry().handleKey(reinterpret_cast<uintptr_t>(handle));
    ZwClose(handle);
    return STATUS_SUCCESS;
}

// Expands %SystemRoot% and %windir% as the system's environment would.
std::u16string expand(std::u16string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'%') {
            size_t end = text.find(u'%', i + 1);
            if (end != std::u16string_view::npos) {
                std::u16string_view name = text.substr(i + 1, end - i - 1);
                if (nt::namesEqual(name, u"SystemRoot") || nt::namesEqual(name, u"windir")) {
                    out += u"C:\\WINNT";
                    i = end;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

bool isString(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

NTSTATUS storeDirect(ULONG type, const uint8_t* data, ULONG length, PVOID entryContext) {
    if (isString(type)) {
        auto* target = static_cast<PUNICODE_STRING>(entryContext);
        // The stored length leaves out the terminator that registry strings carry.
        ULONG textBytes = length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0;
        if (!target->Buffer) {
            auto* buffer =
                static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, textBytes + sizeof(WCHAR), kQueryTag));
            if (!buffer)
                return STATUS_NO_MEMORY;
            target->Buffer = buffer;
            target->MaximumLength = static_cast<USHORT>(textBytes + sizeof(WCHAR));
        } else if (textBytes + sizeof(WCHAR) > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(target->Buffer, data, textBytes);
        target->Buffer[textBytes / sizeof(WCHAR)] = UNICODE_NULL;
        target->Length = static_cast<USHORT>(textBytes);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with its size; negative means "data only".
    LONG declared;
    std::memcpy(&declared, entryContext, sizeof declared);
    ULONG capacity = declared < 0 ? static_cast<ULONG>(-declared) : static_cast<ULONG>(declared);
    auto* out = static_cast<uint8_t*>(entryContext);
    if (declared < 0) {
        if (length > capacity)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
    } else {
        if (length + 2 * sizeof(ULONG) > capacity)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, &length, sizeof(ULONG));
        std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
        std::memcpy(out + 2 * sizeof(ULONG), data, length);
    }
    return STATUS_SUCCESS;
}

NTSTATUS deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const uint8_t* data, ULONG length,
                 PVOID context) {
    std::vector<uint8_t> expanded;
    if (type == REG_EXPAND_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        std::u16string text(reinterpret_cast<const char16_t*>(data), length / sizeof(WCHAR));
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        expanded = nt::stringData(expand(text));
        data = expanded.data();
        length = static_cast<ULONG>(expanded.size());
        type = REG_SZ;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
        return storeDirect(type, data, length, entry->EntryContext);
    if (!entry->QueryRoutine)
        return STATUS_SUCCESS;
    if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        // One call per string of the list.
        const auto* text = reinterpret_cast<const WCHAR*>(data);
        size_t count = length / sizeof(WCHAR), start = 0;
        while (start < count && text[start]) {
            size_t end = start;
            while (end < count && text[end])
                ++end;
            std::vector<WCHAR> one(text + start, text + end);
            one.push_back(0);
            NTSTATUS status = entry->QueryRoutine(
                name, REG_SZ, one.data(), static_cast<ULONG>(one.size() * 2), context, entry->EntryContext);
            if (!NT_SUCCESS(status))
                return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return entry->QueryRoutine(name, type, const_cast<uint8_t*>(data), length, context, entry->EntryContext);
}

} // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID /*Environment*/) {
    Kernel& k = passive("RtlQueryRegistryValues");
    std::shared_ptr<RegKey> top;
    NTSTATUS status = rtlOpen(k, RelativeTo, Path, false, KEY_READ, top);
    if (!NT_SUCCESS(status)) {
        if (!(RelativeTo & RTL_REGISTRY_OPTIONAL) || status != STATUS_OBJECT_NAME_NOT_FOUND)
            return status;
        top = nullptr; // an optional key that is absent reads as a key without values
    }
    std::shared_ptr<RegKey> current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name; ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY)
            current = top;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            current = top ? top->subkey(view(entry->Name)) : nullptr;
            if (!current && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (!entry->QueryRoutine)
                continue;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            if (entry->QueryRoutine) {
                status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, Context, entry->EntryContext);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }
        if (!entry->Name || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
            // Every value of the key goes to the routine.
            if (!current)
                continue;
            std::vector<RegValue> values = current->values;
            for (auto& v : values) {
                std::u16string name = v.name;
                status = deliver(entry, name.data(), v.type, v.data.data(), static_cast<ULONG>(v.data.size()),
                                 Context);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }
        const RegValue* value = current ? current->value(view(entry->Name)) : nullptr;
        if (value) {
            RegValue copy = *value;
            status = deliver(entry, entry->Name, copy.type, copy.data.data(),
                             static_cast<ULONG>(copy.data.size()), Context);
            if (!NT_SUCCESS(status))
                return status;
            if (entry->Flags & RTL_QUERY_REGISTRY_DELETE)
                std::erase_if(current->values,
                              [&](const RegValue& v) { return nt::namesEqual(v.name, copy.name); });
            continue;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry->DefaultType == REG_NONE)
            continue;
        ULONG length = entry->DefaultLength;
        if (length == 0 && isString(entry->DefaultType) && entry->DefaultData) {
            const auto* text = static_cast<const WCHAR*>(entry->DefaultData);
            size_t n = 0;
            if (entry->DefaultType == REG_MULTI_SZ) {
                while (text[n] || text[n + 1])
                    ++n;
                n += 2;
            } else {
                while (text[n])
                    ++n;
                n += 1;
            }
            length = static_cast<ULONG>(n * sizeof(WCHAR));
        }
        status = deliver(entry, entry->Name, entry->DefaultType,
                         static_cast<const uint8_t*>(entry->DefaultData), length, Context);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    Kernel& k = passive("RtlCheckRegistryKey");
    std::shared_ptr<RegKey> key;
    return rtlOpen(k, RelativeTo, Path, false, KEY_READ, key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    Kernel& k = passive("RtlCreateRegistryKey");
    std::shared_ptr<RegKey> key;
    return rtlOpen(k, RelativeTo, Path, true, KEY_ALL_ACCESS, key);
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    Kernel& k = passive("RtlWriteRegistryValue");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = rtlOpen(k, RelativeTo, Path, true, KEY_ALL_ACCESS, key);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE handle = reinterpret_cast<HANDLE>(k.registry().openHandle(key, KEY_SET_VALUE));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = ZwSetValueKey(handle, &name, 0, ValueType, ValueData, ValueLength);
    ZwClose(handle);
    return status;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    Kernel& k = passive("RtlDeleteRegistryValue");
    std::shared_ptr<RegKey> key;
    NTSTATUS status = rtlOpen(k, RelativeTo, Path, false, KEY_ALL_ACCESS, key);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE handle = reinterpret_cast<HANDLE>(k.registry().openHandle(key, KEY_SET_VALUE));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = ZwDeleteValueKey(handle, &name);
    ZwClose(handle);
    return status;
}
