// The kernel's registry calls as drivers use them.
#include "kernel_fixture.h"

#include <cstring>

namespace {

const char* const kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\CvNt";

class RegistryCallsTest : public KernelTest {
protected:
    NTSTATUS Open(const char16_t* path, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr) {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(handle, access, &attributes);
    }
    NTSTATUS Create(const char16_t* path, HANDLE* handle, ULONG* disposition = nullptr,
                    HANDLE root = nullptr) {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, disposition);
    }
};

} // namespace

TEST_F(RegistryCallsTest, CreateMakesOnlyTheLastNameAndNamesAreCaseInsensitive) {
    HANDLE h;
    EXPECT_EQ(Create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt\\Parameters", &h),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG disposition = 0;
    ASSERT_EQ(Create(u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\CvNt", &h, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    HANDLE child;
    ASSERT_EQ(Create(u"Parameters", &child, &disposition, h), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ZwClose(child);
    ASSERT_EQ(Create(u"PARAMETERS", &child, &disposition, h), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ZwClose(child);
    ZwClose(h);
    EXPECT_EQ(kernel.registry().subkeyNames(kService), std::vector<std::string>{"Parameters"});
    EXPECT_EQ(kernel.registry().openHandles(), 0u);
    EXPECT_EQ(Open(u"Registry\\Machine", &h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_THROW(ZwClose(h = reinterpret_cast<HANDLE>(0x1234)), nt::VerifierStop);
}

TEST_F(RegistryCallsTest, QueryValueInEachClassWithShortBuffers) {
    kernel.registry().setDword(kService, "LogLevel", 3);
    HANDLE h;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt", &h, KEY_READ),
              STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"loglevel");
    alignas(8) UCHAR buffer[64];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(partial->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(partial->Data), 3u);

    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, buffer, 8, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, buffer, 14, &length),
              STATUS_BUFFER_OVERFLOW);

    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->NameLength, 16u);
    EXPECT_EQ(std::u16string(full->Name, 8), u"LogLevel") << "the stored spelling, not the asked one";
    EXPECT_EQ(*reinterpret_cast<ULONG*>(buffer + full->DataOffset), 3u);

    UNICODE_STRING missing = Us(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(h, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG value = 1;
    EXPECT_EQ(ZwSetValueKey(h, &name, 0, REG_DWORD, &value, 4), STATUS_ACCESS_DENIED) << "opened for reading";
    ZwClose(h);
}

TEST_F(RegistryCallsTest, EnumerationAndDeletion) {
    kernel.registry().create(std::string(kService) + "\\CurrentConfig\\Card1\\ComPort1");
    kernel.registry().create(std::string(kService) + "\\CurrentConfig\\Card2");
    kernel.registry().setString(std::string(kService) + "\\CurrentConfig", "Status", "ok");
    HANDLE h;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt\\CurrentConfig", &h),
              STATUS_SUCCESS);
    alignas(8) UCHAR buffer[536] = {};
    ULONG length;
    ASSERT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, buffer, 534, &length), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(basic->Name), u"Card1") << "the zero-filled buffer terminates the name";
    ASSERT_EQ(ZwEnumerateKey(h, 1, KeyBasicInformation, buffer, 534, &length), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(h, 2, KeyBasicInformation, buffer, 534, &length), STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(ZwEnumerateValueKey(h, 0, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateValueKey(h, 1, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_NO_MORE_ENTRIES);

    EXPECT_EQ(ZwDeleteKey(h), STATUS_CANNOT_DELETE) << "a key with subkeys stays";
    HANDLE card2;
    ASSERT_EQ(Open(u"Card2", &card2, KEY_ALL_ACCESS, h), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(card2), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(card2, 0, KeyBasicInformation, buffer, 534, &length), STATUS_KEY_DELETED);
    ZwClose(card2);
    EXPECT_EQ(kernel.registry().subkeyNames(std::string(kService) + "\\CurrentConfig"),
              std::vector<std::string>{"Card1"});
    ZwClose(h);
}

TEST_F(RegistryCallsTest, RtlHelpersWorkRelativeToTheirRoots) {
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"CvNt")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"CvNt")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(
                  RTL_REGISTRY_ABSOLUTE,
                  const_cast<PWSTR>(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt")),
              STATUS_SUCCESS);
    WCHAR name[] = u"\\Device\\Serial0";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial0", REG_SZ,
                                    const_cast<PWSTR>(u"COM3"), 10),
              STATUS_SUCCESS);
    EXPECT_EQ(
        kernel.registry().string("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial0"),
        std::optional<std::string>("COM3"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", name), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", name),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryCallsTest, QueryRegistryValuesWithDirectEntriesDefaultsAndTheOptionalFlag) {
    std::string card = std::string(kService) + "\\Parameters\\Bus5\\Card1";
    kernel.registry().setDword(card, "DeviceID", 0x9050);
    kernel.registry().setString(card, "Description", "Quad port card");
    kernel.registry().setString(card, "Path", "%SystemRoot%\\x", REG_EXPAND_SZ);

    ULONG deviceId = 0, clock = 0;
    ULONG defaultClock = 1843200;
    UNICODE_STRING description{};
    UNICODE_STRING path{};
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT,
                const_cast<PWSTR>(u"DeviceID"),
                &deviceId,
                REG_DWORD,
                &defaultClock,
                4};
    table[1] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT,
                const_cast<PWSTR>(u"ClockFrequency"),
                &clock,
                REG_DWORD,
                &defaultClock,
                4};
    table[2] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT,
                const_cast<PWSTR>(u"Description"),
                &description,
                REG_NONE,
                nullptr,
                0};
    table[3] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Path"), &path, REG_NONE, nullptr, 0};
    std::u16string absolute = nt::toUtf16(card);
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, absolute.c_str(), table,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(deviceId, 0x9050u);
    EXPECT_EQ(clock, 1843200u) << "missing: the default";
    EXPECT_EQ(Text(description), u"Quad port card");
    EXPECT_EQ(Text(path), u"C:\\WINNT\\x") << "expanded";
    RtlFreeUnicodeString(&description);
    RtlFreeUnicodeString(&path);

    // A required entry that is missing fails the call.
    RTL_QUERY_REGISTRY_TABLE required[2] = {};
    required[0] = {nullptr,
                   RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
                   const_cast<PWSTR>(u"Missing"),
                   &clock,
                   REG_NONE,
                   nullptr,
                   0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, absolute.c_str(), required, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // An absent key is an error unless it is optional; then the defaults apply.
    std::u16string absent = absolute + u"\\Nothing";
    clock = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, absent.c_str(), table + 1, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    RTL_QUERY_REGISTRY_TABLE one[2] = {table[1], {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, absent.c_str(), one,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(clock, 1843200u);
    EXPECT_EQ(kernel.registry().openHandles(), 0u);
    EXPECT_EQ(kernel.pool().liveCount(), 0u);
}

TEST_F(RegistryCallsTest, QueryRoutinesSeeEachStringOfAMultiString) {
    std::string key = std::string(kService) + "\\Multi";
    kernel.registry().setMultiString(key, "Names", {"COM3", "COM4"});
    std::vector<std::u16string> seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID data, ULONG, PVOID context, PVOID) -> NTSTATUS {
        EXPECT_EQ(type, (ULONG)REG_SZ);
        static_cast<std::vector<std::u16string>*>(context)->push_back(static_cast<PWSTR>(data));
        return STATUS_SUCCESS;
    };
    table[0].Name = const_cast<PWSTR>(u"Names");
    std::u16string path = nt::toUtf16(key);
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"COM3", u"COM4"}));
}
