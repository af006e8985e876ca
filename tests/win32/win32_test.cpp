// The Win32 side of the machine as programs see it: the registry, the service control manager, the
// process token and device files over the machine's own kernel; and the dialog layer: a dialog built
// from a compiled resource script, its messages, controls, timers and message boxes.
#include "sim/machine.h"

#include "platform/nt/include/ntddser.h"
#include "platform/w2k/comdb.h"
#include "platform/win32/include/msports.h"
#include "platform/win32/include/setupapi.h"
#include "platform/win32/user.h"
#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

extern const win32::ModuleResources TestResources;

namespace {

// The built-in NT 4 machine and a way to run a piece of program on its desktop until it ends.
struct Desk {
    Desk() : machine(sim::MachineSpec::builtInDefault()) {
        machine.desktop().installModule(win32::Module{"Test.exe", &TestResources, {}, nullptr});
    }
    void run(std::function<void()> program) {
        ASSERT_TRUE(machine.desktop().start("test", std::move(program)));
        ASSERT_FALSE(machine.desktop().programRunning()) << "the program waited for input";
    }
    uint32_t startDriver() {
        nt::KernelScope scope(machine.kernel());
        return machine.startCvNt();
    }
    sim::Machine machine;
};

const std::string kSoftware = "\\Registry\\Machine\\SOFTWARE\\Test";

TEST(Win32Registry, ProgramsSeeTheMachinesRegistryWithWin32Semantics) {
    Desk d;
    d.run([] {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND);
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Inner", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
        const char text[] = "COM3";
        EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
                  ERROR_SUCCESS);
        DWORD number = 0x12345678;
        EXPECT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
                  ERROR_SUCCESS);

        // Strings come back in ANSI with their terminator; a short buffer says how much is needed.
        char buffer[16] = {0};
        DWORD type = 0, size = 3;
        EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
                  ERROR_MORE_DATA);
        EXPECT_EQ(size, 5u);
        size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_STREQ(buffer, "COM3");
        EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

        char name[8];
        DWORD length = sizeof name;
        EXPECT_EQ(RegEnumValueA(key, 1, name, &length, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_STREQ(name, "Number");
        length = sizeof name;
        EXPECT_EQ(RegEnumValueA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NO_MORE_ITEMS);
        DWORD subkeys = 9, values = 0;
        EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                   nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(subkeys, 0u);
        EXPECT_EQ(values, 2u);

        // A key with subkeys is not deleted; once its key is gone a handle reports it.
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Inner"), ERROR_SUCCESS);
        size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

        // A key opened for reading refuses writes.
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
                  ERROR_ACCESS_DENIED);
        RegCloseKey(key);
    });
    // There is one registry: the kernel's.
    EXPECT_TRUE(d.machine.kernel().registry().exists(kSoftware));
    EXPECT_FALSE(d.machine.kernel().registry().exists(kSoftware + "\\Inner"));
    EXPECT_EQ(d.machine.kernel().registry().openHandles(), 0u);
}

TEST(Win32Registry, AUserWithoutAdministratorRightsReadsButDoesNotWriteTheMachinesKeys) {
    Desk d;
    d.machine.kernel().registry().setDword(kSoftware, "Level", 7);
    d.machine.desktop().setAdministrator(false);
    d.run([] {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_ALL_ACCESS, &key),
                  ERROR_ACCESS_DENIED);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &key), ERROR_SUCCESS);
        DWORD level = 0, size = 4;
        EXPECT_EQ(RegQueryValueExA(key, "Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&level), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(level, 7u);
        RegCloseKey(key);
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test"), ERROR_ACCESS_DENIED);
    });
    EXPECT_FALSE(d.machine.kernel().registry().exists(kSoftware + "\\New"));
}

// Whether the token's groups hold the enabled Administrators alias, as tools test it.
bool TokenSaysAdministrator() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> buffer(size);
    bool found = false;
    if (GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators);
        auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
        for (DWORD i = 0; i < groups->GroupCount; ++i)
            if (EqualSid(groups->Groups[i].Sid, administrators) &&
                (groups->Groups[i].Attributes & SE_GROUP_ENABLED))
                found = true;
        FreeSid(administrators);
    }
    CloseHandle(token);
    return found;
}

TEST(Win32Token, TheGroupsSayWhoTheUserIs) {
    Desk d;
    bool administrator = false;
    d.run([&] { administrator = TokenSaysAdministrator(); });
    EXPECT_TRUE(administrator);
    d.machine.desktop().setAdministrator(false);
    d.run([&] { administrator = TokenSaysAdministrator(); });
    EXPECT_FALSE(administrator);
    EXPECT_EQ(d.machine.desktop().openHandles(), 0u);
}

struct ServiceCall {
    BOOL ok;
    DWORD error;
    DWORD state;
};

ServiceCall Control(SC_HANDLE service, DWORD control) {
    SERVICE_STATUS status{};
    BOOL ok = ControlService(service, control, &status);
    return {ok, ok ? 0 : GetLastError(), status.dwCurrentState};
}

TEST(Win32Services, InterrogateStopAndStartTheDriverAsOnNt4) {
    Desk d;
    std::vector<ServiceCall> calls;
    auto program = [&](bool holdPortOpen) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(OpenServiceA(manager, "NoSuchService", SERVICE_START), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        SC_HANDLE service = OpenServiceA(manager, "CvNt", SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_START);
        ASSERT_NE(service, nullptr);
        calls.push_back(Control(service, SERVICE_CONTROL_INTERROGATE));
        BOOL started = StartServiceA(service, 0, nullptr);
        calls.push_back({started, started ? 0 : GetLastError(), 0});
        calls.push_back(Control(service, SERVICE_CONTROL_INTERROGATE));
        HANDLE port = holdPortOpen ? CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr)
                                   : INVALID_HANDLE_VALUE;
        calls.push_back(Control(service, SERVICE_CONTROL_STOP));
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        calls.push_back(Control(service, SERVICE_CONTROL_STOP));
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    };
    d.run([&] { program(true); });
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE))
        << "a stopped service is not asked";
    EXPECT_EQ(calls[0].state, static_cast<DWORD>(SERVICE_STOPPED)) << "its status is filled in all the same";
    EXPECT_TRUE(calls[1].ok);
    EXPECT_TRUE(calls[2].ok);
    EXPECT_EQ(calls[2].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(calls[3].error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL)) << "a port is open";
    EXPECT_TRUE(calls[4].ok) << "the port was closed";
    EXPECT_EQ(calls[4].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(d.machine.kernel().services().running("CvNt"));
    EXPECT_EQ(d.machine.desktop().openHandles(), 0u);
}

TEST(Win32Services, ADriverThatFindsNoDeviceAndAUserWithoutRights) {
    Desk d;
    // The ISA card's second port at an address where nothing answers: CvNt refuses to load.
    d.machine.kernel().registry().setDword(
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Parameters\\Bus1\\Card1\\ComPort2",
        "BaseAddress", 0x2E8);
    DWORD error = 0;
    d.run([&] {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, "CvNt", SERVICE_START);
        if (!StartServiceA(service, 0, nullptr))
            error = GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    });
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));

    d.machine.desktop().setAdministrator(false);
    d.run([&] {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        EXPECT_EQ(OpenServiceA(manager, "CvNt", SERVICE_STOP), nullptr);
        error = GetLastError();
        SC_HANDLE query = OpenServiceA(manager, "CvNt", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(query, &status));
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        CloseServiceHandle(query);
        CloseServiceHandle(manager);
    });
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Win32Files, ComPortsThroughCreateFileReadFileAndDeviceIoControl) {
    Desk d;
    ASSERT_EQ(d.startDriver(), 0u);
    hw::NullModemCable cable(*d.machine.uartAt(0xE000), *d.machine.uartAt(0x300));
    d.run([] {
        HANDLE missing = CreateFileA("\\\\.\\COM99", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        HANDLE a =
            CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE b = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        ASSERT_NE(b, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a port is opened once";
        for (HANDLE h : {a, b}) {
            ULONG baud = 9600;
            DWORD returned = 0;
            EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0,
                                        &returned, nullptr));
        }
        const char text[] = "over the cable";
        DWORD written = 0, read = 0;
        EXPECT_TRUE(WriteFile(a, text, sizeof text - 1, &written, nullptr));
        EXPECT_EQ(written, sizeof text - 1);
        char got[32] = {0};
        EXPECT_TRUE(ReadFile(b, got, sizeof text - 1, &read, nullptr));
        EXPECT_EQ(read, sizeof text - 1);
        EXPECT_STREQ(got, text);
        CloseHandle(a);
        CloseHandle(b);
        EXPECT_FALSE(CloseHandle(b));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    });
}

TEST(Win32ComDatabase, ClaimsReleasesAndReportsAsMsportsDoes) {
    Desk d;
    d.run([] {
        HCOMDB db = nullptr;
        ASSERT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(db, nullptr, 0, CDB_REPORT_BYTES, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, static_cast<DWORD>(COMDB_MIN_PORTS_ARBITRATED));
        EXPECT_EQ(ComDBClaimPort(db, 5, FALSE, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(ComDBClaimPort(db, 5, FALSE, nullptr), ERROR_SHARING_VIOLATION);
        BOOL forced = FALSE;
        EXPECT_EQ(ComDBClaimPort(db, 5, TRUE, &forced), ERROR_SUCCESS);
        EXPECT_TRUE(forced);
        EXPECT_EQ(ComDBClaimPort(db, 0, FALSE, nullptr), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ComDBClaimPort(db, 257, FALSE, nullptr), ERROR_INVALID_PARAMETER) << "past the database";
        DWORD next = 0;
        EXPECT_EQ(ComDBClaimNextFreePort(db, &next), ERROR_SUCCESS);
        EXPECT_EQ(next, 1u);
        std::vector<BYTE> bytes(8, 0xEE);
        DWORD reported = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(db, bytes.data(), 8, CDB_REPORT_BYTES, &reported), ERROR_SUCCESS);
        EXPECT_EQ(reported, 8u);
        EXPECT_EQ(bytes, (std::vector<BYTE>{1, 0, 0, 0, 1, 0, 0, 0}));
        BYTE bits[2] = {0, 0};
        EXPECT_EQ(ComDBGetCurrentPortUsage(db, bits, 2, CDB_REPORT_BITS, &reported), ERROR_SUCCESS);
        EXPECT_EQ(bits[0], 0x11);
        EXPECT_EQ(reported, 16u);
        EXPECT_EQ(ComDBReleasePort(db, 5), ERROR_SUCCESS);
        EXPECT_EQ(ComDBResizeDatabase(db, 1024), ERROR_SUCCESS);
        EXPECT_EQ(ComDBResizeDatabase(db, 1024), ERROR_BAD_LENGTH) << "it never shrinks or stays";
        EXPECT_EQ(ComDBResizeDatabase(db, 1500), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ComDBClaimPort(db, 1000, FALSE, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(ComDBClose(db), ERROR_SUCCESS);
        EXPECT_EQ(ComDBClose(db), ERROR_INVALID_PARAMETER);
    });
    // One database: the registry's.
    w2k::ComDatabase database(d.machine.kernel().registry());
    EXPECT_TRUE(database.inUse(1));
    EXPECT_FALSE(database.inUse(5));
    EXPECT_TRUE(database.inUse(1000));
    EXPECT_EQ(database.size(), 1024u);
    d.machine.desktop().setAdministrator(false);
    LONG refused = 0;
    d.run([&] {
        HCOMDB db = nullptr;
        refused = ComDBOpen(&db);
    });
    EXPECT_EQ(refused, ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------------------------------------
// The dialog layer
// ---------------------------------------------------------------------------------------------

constexpr int kTestDialog = 100, kName = 1001, kGo = 1002, kLevel = 1003, kKind = 1004, kLoud = 1005;

// What the test dialog saw; it lives in the test, the dialog reaches it through its init parameter.
struct Seen {
    std::vector<std::string> events;
    std::string name;
    int level = -1;
    int timerTicks = 0;
    int boxAnswer = 0;
    INT_PTR result = 0;
};

INT_PTR CALLBACK TestProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* seen = reinterpret_cast<Seen*>(GetWindowLongPtrA(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        seen = reinterpret_cast<Seen*>(lParam);
        seen->events.push_back("init");
        for (const char* kind : {"Modem", "Printer", "Terminal"})
            SendDlgItemMessageA(dialog, kKind, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kind));
        SendDlgItemMessageA(dialog, kLevel, TBM_SETRANGE, TRUE, MAKELPARAM(0, 10));
        SetTimer(dialog, 7, 10, nullptr);
        PostMessageA(dialog, WM_APP, 1, 0);
        SendMessageA(dialog, WM_APP, 0, 0);
        return TRUE;
    case WM_APP:
        seen->events.push_back(wParam ? "posted" : "sent");
        return TRUE;
    case WM_TIMER:
        if (wParam == 7 && ++seen->timerTicks == 3)
            KillTimer(dialog, 7);
        return TRUE;
    case WM_HSCROLL:
        seen->level = static_cast<int>(SendDlgItemMessageA(dialog, kLevel, TBM_GETPOS, 0, 0));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == kKind && HIWORD(wParam) == CBN_SELCHANGE)
            seen->events.push_back("kind " +
                                   std::to_string(SendDlgItemMessageA(dialog, kKind, CB_GETCURSEL, 0, 0)));
        if (LOWORD(wParam) == kGo)
            seen->boxAnswer = MessageBoxA(dialog, "Go on?", "Test", MB_YESNO | MB_ICONQUESTION);
        if (LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, seen->result = IDCANCEL);
        if (LOWORD(wParam) == IDOK) {
            char text[64] = {0};
            GetDlgItemTextA(dialog, kName, text, sizeof text);
            seen->name = text;
            EndDialog(dialog, IsDlgButtonChecked(dialog, kLoud) == BST_CHECKED ? 42 : 41);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

TEST(Win32Dialogs, ADialogFromItsTemplateAnsweringAPerson) {
    Desk d;
    win32::Desktop& desktop = d.machine.desktop();
    win32::User user(desktop);
    Seen seen;
    INT_PTR result = 0;
    std::string hello;
    ASSERT_TRUE(desktop.start("test", [&] {
        HINSTANCE module = LoadLibraryA("Test.exe");
        char text[32];
        LoadStringA(module, 200, text, sizeof text);
        hello = text;
        result = DialogBoxParamA(module, MAKEINTRESOURCEA(kTestDialog), nullptr, TestProc,
                                 reinterpret_cast<LPARAM>(&seen));
        FreeLibrary(module);
    }));
    EXPECT_EQ(hello, "Hello, %s");
    ASSERT_EQ(user.activeCaption(), "Test Dialog");
    // WM_INITDIALOG first; a sent message at once, a posted one from the loop.
    EXPECT_EQ(seen.events, (std::vector<std::string>{"init", "sent", "posted"}));

    // Controls stand where the template put them, in pixels of the dialog font.
    std::string error;
    win32::Window* name = user.find(std::to_string(kName), error);
    ASSERT_NE(name, nullptr) << error;
    EXPECT_EQ(name->rect.left, win32::DialogUnitsToPixelsX(50));
    EXPECT_EQ(name->rect.top, win32::DialogUnitsToPixelsY(5));
    EXPECT_EQ(name->rect.right - name->rect.left, win32::DialogUnitsToPixelsX(100));

    // Timers run in machine time while the dialog waits.
    desktop.passTime(35 * 10'000);
    EXPECT_EQ(seen.timerTicks, 3);
    desktop.passTime(100 * 10'000);
    EXPECT_EQ(seen.timerTicks, 3) << "killed after the third tick";

    EXPECT_TRUE(user.choose(std::to_string(kKind), "print", error)) << error;
    EXPECT_EQ(seen.events.back(), "kind 1");
    EXPECT_TRUE(user.slide(std::to_string(kLevel), 15, error)) << error;
    EXPECT_EQ(seen.level, 10) << "a slider stops at its range";
    EXPECT_TRUE(user.type(std::to_string(kName), "Ada", error)) << error;
    EXPECT_FALSE(user.type("&Go", "x", error)) << "a button takes no text";

    // A box nobody expected is answered with the way out that changes nothing.
    EXPECT_TRUE(user.click("Go", error)) << error;
    EXPECT_EQ(seen.boxAnswer, IDNO);
    desktop.answerNextBox(IDYES);
    EXPECT_TRUE(user.click("&Go", error)) << error;
    EXPECT_EQ(seen.boxAnswer, IDYES);
    ASSERT_EQ(desktop.boxes().size(), 2u);
    EXPECT_EQ(desktop.boxes()[0].icon, "question");
    EXPECT_EQ(desktop.boxes()[0].buttons, (std::vector<std::string>{"Yes", "No"}));
    EXPECT_FALSE(desktop.boxes()[0].expected);
    EXPECT_TRUE(desktop.boxes()[1].expected);

    EXPECT_TRUE(user.click("&Loud", error)) << error;
    EXPECT_TRUE(user.click("OK", error)) << error;
    EXPECT_FALSE(desktop.programRunning());
    EXPECT_EQ(result, 42);
    EXPECT_EQ(seen.name, "Ada");
}

TEST(Win32Dialogs, WithAPersonAtTheDesktopABoxWaitsForItsAnswer) {
    Desk d;
    win32::Desktop& desktop = d.machine.desktop();
    desktop.setInteractiveBoxes(true);
    win32::User user(desktop);
    Seen seen;
    ASSERT_TRUE(desktop.start("test", [&] {
        HINSTANCE module = LoadLibraryA("Test.exe");
        DialogBoxParamA(module, MAKEINTRESOURCEA(kTestDialog), nullptr, TestProc,
                        reinterpret_cast<LPARAM>(&seen));
        FreeLibrary(module);
    }));
    std::string error;
    ASSERT_TRUE(user.click("&Go", error)) << error;
    // The box is a window of its own over the dialog, which takes no input meanwhile.
    ASSERT_EQ(user.activeCaption(), "Test");
    EXPECT_EQ(seen.boxAnswer, 0) << "nobody answered yet";
    const std::string shown = user.describe();
    for (const char* part : {"Go on?", "Yes", "No", "question"})
        EXPECT_NE(shown.find(part), std::string::npos) << part << "\n" << shown;
    win32::Window* yes = user.find("Yes", error);
    win32::Window* no = user.find("No", error);
    ASSERT_TRUE(yes && no) << error;
    EXPECT_LT(yes->rect.right, no->rect.left) << "the buttons side by side";
    const auto tops = desktop.topLevelWindows();
    const win32::Window* dialog = tops[tops.size() - 2];
    EXPECT_FALSE(dialog->enabled);
    ASSERT_TRUE(user.click("No", error)) << error;
    EXPECT_EQ(seen.boxAnswer, IDNO);
    EXPECT_EQ(user.activeCaption(), "Test Dialog");
    ASSERT_TRUE(user.click("&Go", error)) << error;
    // Its close box answers as Cancel would, else as the last button.
    ASSERT_TRUE(user.close(error)) << error;
    EXPECT_EQ(seen.boxAnswer, IDNO);
    ASSERT_EQ(desktop.boxes().size(), 2u);
    EXPECT_TRUE(desktop.boxes()[0].expected) << "a person answered it";
    EXPECT_TRUE(user.click("OK", error)) << error;
    EXPECT_FALSE(desktop.programRunning());
}

TEST(Win32Dialogs, APersonCannotUseWhatIsHiddenOrDisabled) {
    Desk d;
    win32::Desktop& desktop = d.machine.desktop();
    win32::User user(desktop);
    Seen seen;
    ASSERT_TRUE(desktop.start("test", [&] {
        HINSTANCE module = LoadLibraryA("Test.exe");
        seen.result = DialogBoxParamA(module, MAKEINTRESOURCEA(kTestDialog), nullptr, TestProc,
                                      reinterpret_cast<LPARAM>(&seen));
    }));
    std::string error;
    win32::Window* go = user.find("&Go", error);
    ASSERT_NE(go, nullptr);
    const HWND dialog = go->parent;
    ASSERT_TRUE(desktop.input([dialog] { EnableWindow(GetDlgItem(dialog, kGo), FALSE); }));
    EXPECT_FALSE(user.click("&Go", error));
    EXPECT_EQ(error, "control 1002 is disabled");
    // A test tool still reaches its command.
    EXPECT_TRUE(user.command("&Go", error));
    EXPECT_EQ(desktop.boxes().size(), 1u);
    EXPECT_FALSE(user.click("Nothing", error));
    EXPECT_EQ(error, "\"Test Dialog\" has no control Nothing");
    // Closing the window is the Cancel command.
    EXPECT_TRUE(user.close(error)) << error;
    EXPECT_FALSE(desktop.programRunning());
    EXPECT_EQ(seen.result, IDCANCEL);
}

} // namespace

TEST(Win32DosDevices, DefinitionsHideEarlierTargetsUntilRemoved) {
    Desk d;
    ASSERT_EQ(d.startDriver(), 0u);
    d.run([] {
        char targets[256];
        const DWORD length = QueryDosDeviceA("COM3", targets, sizeof targets);
        ASSERT_GT(length, 0u);
        const std::string device = targets;
        EXPECT_EQ(device.rfind("\\Device\\", 0), 0u) << device;
        // A second definition hides the first; QueryDosDevice lists both, the newest first.
        ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM3", "\\Device\\Elsewhere"));
        ASSERT_GT(QueryDosDeviceA("COM3", targets, sizeof targets), 0u);
        EXPECT_STREQ(targets, "\\Device\\Elsewhere");
        EXPECT_STREQ(targets + std::strlen(targets) + 1, device.c_str());
        // An exact removal takes the named definition, whichever it is; a wrong one is refused.
        EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                      "COM3", "\\Device\\Nowhere"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                     "COM3", device.c_str()));
        ASSERT_GT(QueryDosDeviceA("COM3", targets, sizeof targets), 0u);
        EXPECT_STREQ(targets, "\\Device\\Elsewhere");
        EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
        EXPECT_EQ(QueryDosDeviceA("COM3", targets, sizeof targets), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        // Names and buffers that cannot be right.
        EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "A\\B", "\\Device\\X"));
        EXPECT_FALSE(DefineDosDeviceA(0, "COM40", "C:\\file"));
        EXPECT_FALSE(DefineDosDeviceA(DDD_EXACT_MATCH_ON_REMOVE, "COM40", "\\Device\\X"));
        EXPECT_EQ(QueryDosDeviceA("COM4", targets, 4), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    });
}

TEST(Win32Threads, AThreadWaitingForAMutexLetsTheOthersRunUntilItIsReleased) {
    Desk d;
    std::vector<std::string> order;
    HANDLE held = nullptr;
    ASSERT_TRUE(d.machine.desktop().start("test", [&] {
        held = CreateMutexA(nullptr, TRUE, "TestMutex");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        struct Shared {
            std::vector<std::string>* order;
        };
        static Shared shared;
        shared.order = &order;
        CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                HANDLE mine = CreateMutexA(nullptr, FALSE, "TestMutex");
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
                shared.order->push_back("second waits");
                EXPECT_EQ(WaitForSingleObject(mine, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
                shared.order->push_back("second has it");
                EXPECT_FALSE(ReleaseMutex(mine) == FALSE);
                CloseHandle(mine);
                return 0;
            },
            nullptr, 0, nullptr);
        order.push_back("first runs on");
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0))
            DispatchMessageA(&msg);
    }));
    // The second thread started when the first waited, and waits for the mutex.
    EXPECT_EQ(order, (std::vector<std::string>{"first runs on", "second waits"}));
    EXPECT_EQ(d.machine.desktop().threadCount(), 2u);
    ASSERT_TRUE(d.machine.desktop().input([&] { EXPECT_FALSE(ReleaseMutex(held) == FALSE); }));
    EXPECT_EQ(order.back(), "second has it");
    EXPECT_EQ(d.machine.desktop().threadCount(), 1u) << "the second thread ended";
    ASSERT_TRUE(d.machine.desktop().input([] { PostQuitMessage(0); }));
    EXPECT_FALSE(d.machine.desktop().programRunning());
    EXPECT_EQ(d.machine.desktop().threadCount(), 0u);
}

TEST(Win32DeviceInstaller, CallsOnAnNt4MachineAndWithWrongRecordsAreRefused) {
    Desk d;
    d.run([] {
        // NT 4 has no plug-and-play manager for the device installer to ask.
        EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        EXPECT_FALSE(SetupDiEnumDeviceInfo(reinterpret_cast<HDEVINFO>(0x1234), 0, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    });
    sim::Machine w2k(sim::MachineSpec::builtInWindows2000());
    w2k.boot();
    ASSERT_TRUE(w2k.desktop().start("test", [] {
        const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        HDEVINFO set = SetupDiGetClassDevsA(&ports, nullptr, nullptr, DIGCF_PRESENT);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data - 1; // a record of another size
        EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        data.cbSize = sizeof data;
        DWORD count = 0;
        while (SetupDiEnumDeviceInfo(set, count, &data))
            ++count;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_EQ(count, 11u) << "the ten COM ports and the parallel port of the three cards";
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
        char name[8];
        DWORD needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, nullptr,
                                                       reinterpret_cast<BYTE*>(name), sizeof name, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_GT(needed, sizeof name);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, 0x7777, nullptr, nullptr, 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
        data.DevInst = 999;
        EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
                  reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    }));
    EXPECT_FALSE(w2k.desktop().programRunning());
}
