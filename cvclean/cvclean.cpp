// CvClean: what the uninstaller runs before it removes the suite. It stops the suite's serial drivers,
// removes the CvPci driver's service, gives the system's serial driver back its own image and restarts
// it, and launches the secondary uninstaller the installation registered.
#include "CvCleanModule.h"
#include "resource.h"

#include "cvframe.h"

#include <cstdio>
#include <vector>

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const char kSerialKey[] = "SYSTEM\\CurrentControlSet\\Services\\Serial";
const int kSteps = 5;
// A registered command line longer than this is not a command line Windows could start.
const DWORD kMaxCommandLine = 32767;

class CCleanupDlg : public CDialog {
public:
    explicit CCleanupDlg(std::string strUninstallKey)
        : CDialog(IDD_CLEANUP), m_strUninstallKey(std::move(strUninstallKey)) {}

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override;

private:
    void RunCleanup();
    BOOL WaitForControlPanel();
    BOOL StopDrivers(SC_HANDLE hManager, BOOL bCvPci, BOOL bSerial, SC_HANDLE& hCvPci, SC_HANDLE& hSerial);
    BOOL RemoveEntries(BOOL bCvPci, BOOL bSerial, SC_HANDLE& hCvPci, SC_HANDLE& hSerial);
    void LaunchSecondaryUninstall();
    void SetStatus(UINT nText, int nProgress);
    int Say(UINT nText, UINT nType) {
        return MessageBox(AfxLoadString(nText), AfxLoadString(IDS_CAPTION), nType);
    }

    std::string m_strUninstallKey;
};

// A driver service counts as stopped when it does not run, or when it stops when asked.
BOOL StopService(SC_HANDLE hService) {
    SERVICE_STATUS Status{};
    if (ControlService(hService, SERVICE_CONTROL_INTERROGATE, &Status)) {
        if (Status.dwCurrentState == SERVICE_STOPPED)
            return TRUE;
    } else if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
        return TRUE; // NT 4 refuses to interrogate a driver that does not run
    }
    return ControlService(hService, SERVICE_CONTROL_STOP, &Status);
}

BOOL DriverInstalled(const char* pszFile) {
    char szSystem[260];
    const UINT nLength = GetSystemDirectoryA(szSystem, sizeof szSystem);
    if (nLength == 0 || nLength >= sizeof szSystem)
        return FALSE;
    char szPath[300];
    std::snprintf(szPath, sizeof szPath, "%s\\Drivers\\%s", szSystem, pszFile);
    return GetFileAttributesA(szPath) != INVALID_FILE_ATTRIBUTES;
}

BOOL CCleanupDlg::OnInitDialog() {
    HICON hIcon = LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCE(IDR_MAINFRAME));
    SetIcon(hIcon, TRUE);
    SetIcon(hIcon, FALSE);
    return CDialog::OnInitDialog();
}

BOOL CCleanupDlg::OnCommand(WORD nID, WORD nCode, HWND hControl) {
    if (nID == IDC_START && nCode == BN_CLICKED) {
        RunCleanup();
        EndDialog(IDOK);
        return TRUE;
    }
    return CDialog::OnCommand(nID, nCode, hControl);
}

void CCleanupDlg::SetStatus(UINT nText, int nProgress) {
    SetDlgItemText(IDC_STATUS, AfxLoadString(nText));
    CProgressCtrl Progress;
    Progress.m_hWnd = GetDlgItem(IDC_PROGRESS);
    Progress.SetPos(nProgress);
}

void CCleanupDlg::RunCleanup() {
    CProgressCtrl Progress;
    Progress.m_hWnd = GetDlgItem(IDC_PROGRESS);
    Progress.SetRange(0, kSteps);
    SetStatus(IDS_CHECKING, 1);
    if (!WaitForControlPanel())
        return;
    const BOOL bCvPci = DriverInstalled("CvPci.sys");
    const BOOL bSerial = DriverInstalled("CvSerial.sys");

    SetStatus(IDS_STOPPING, 2);
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hManager) {
        Say(IDS_NO_SCM, MB_OK | MB_ICONSTOP);
        return;
    }
    SC_HANDLE hCvPci = nullptr, hSerial = nullptr;
    BOOL bGoOn = StopDrivers(hManager, bCvPci, bSerial, hCvPci, hSerial);
    if (bGoOn) {
        SetStatus(IDS_REMOVING, 3);
        bGoOn = RemoveEntries(bCvPci, bSerial, hCvPci, hSerial);
    }
    if (hCvPci)
        CloseServiceHandle(hCvPci);
    if (hSerial)
        CloseServiceHandle(hSerial);
    CloseServiceHandle(hManager);
    if (!bGoOn)
        return;
    SetStatus(IDS_LAUNCHING, 4);
    LaunchSecondaryUninstall();
}

BOOL CCleanupDlg::WaitForControlPanel() {
    while (FindWindowA("CabinetWClass", "Control Panel"))
        if (Say(IDS_CONTROL_PANEL_OPEN, MB_OKCANCEL | MB_ICONINFORMATION) != IDOK)
            return FALSE;
    return TRUE;
}

BOOL CCleanupDlg::StopDrivers(SC_HANDLE hManager, BOOL bCvPci, BOOL bSerial, SC_HANDLE& hCvPci,
                              SC_HANDLE& hSerial) {
    BOOL bAllStopped = TRUE;
    if (bCvPci) {
        hCvPci = OpenServiceA(hManager, "CvPci", SERVICE_ALL_ACCESS);
        if (!hCvPci && Say(IDS_CVPCI_NOT_OPENED, MB_YESNO | MB_ICONSTOP | MB_DEFBUTTON2) != IDYES)
            return FALSE;
        bAllStopped = hCvPci && StopService(hCvPci);
    }
    if (bSerial) {
        hSerial = OpenServiceA(hManager, "serial", SERVICE_ALL_ACCESS);
        if (!hSerial && Say(IDS_SERIAL_NOT_OPENED, MB_YESNO | MB_ICONSTOP | MB_DEFBUTTON2) != IDYES)
            return FALSE;
        bAllStopped = (hSerial && StopService(hSerial)) && bAllStopped;
    }
    if (!bAllStopped && Say(IDS_NOT_STOPPED, MB_YESNO | MB_ICONSTOP | MB_DEFBUTTON2) != IDYES)
        return FALSE;
    return TRUE;
}

BOOL CCleanupDlg::RemoveEntries(BOOL bCvPci, BOOL bSerial, SC_HANDLE& hCvPci, SC_HANDLE& hSerial) {
    if (bCvPci && hCvPci) {
        DeleteService(hCvPci);
        CloseServiceHandle(hCvPci);
        hCvPci = nullptr;
    }
    if (!bSerial)
        return TRUE;
    // The standard serial service loads its own image again once its ImagePath is gone.
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialKey, 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS) {
        RegDeleteValueA(hKey, "ImagePath");
        RegCloseKey(hKey);
    } else if (Say(IDS_ENTRIES_NOT_REMOVED, MB_YESNO | MB_ICONSTOP | MB_DEFBUTTON2) != IDYES) {
        return FALSE;
    }
    if (!hSerial || !StartServiceA(hSerial, 0, nullptr))
        Say(IDS_NOT_RESTARTED, MB_OK | MB_ICONSTOP);
    return TRUE;
}

void CCleanupDlg::LaunchSecondaryUninstall() {
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_strUninstallKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    DWORD dwType = 0, dwSize = 0;
    std::vector<char> CommandLine;
    if (RegQueryValueExA(hKey, "SecondaryUninstall", nullptr, &dwType, nullptr, &dwSize) == ERROR_SUCCESS &&
        (dwType == REG_SZ || dwType == REG_EXPAND_SZ) && dwSize > 0 && dwSize <= kMaxCommandLine + 1) {
        CommandLine.resize(dwSize + 1, '\0');
        if (RegQueryValueExA(hKey, "SecondaryUninstall", nullptr, &dwType,
                             reinterpret_cast<BYTE*>(CommandLine.data()), &dwSize) != ERROR_SUCCESS)
            CommandLine.clear();
    }
    RegCloseKey(hKey);
    if (CommandLine.empty() || CommandLine[0] == '\0')
        return;
    STARTUPINFOA Startup{};
    Startup.cb = sizeof Startup;
    PROCESS_INFORMATION Process{};
    if (!CreateProcessA(nullptr, CommandLine.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &Startup, &Process)) {
        Say(IDS_LAUNCH_FAILED, MB_OK | MB_ICONSTOP);
        return;
    }
    // The uninstaller runs on its own; nothing waits for it.
    CloseHandle(Process.hThread);
    CloseHandle(Process.hProcess);
}

} // namespace

int CvCleanWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd) {
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nShowCmd;
    AfxSetResourceHandle(hInstance);
    CCommandLineInfo CmdInfo;
    AfxParseCommandLine(CmdInfo);
    // One product name: a key name under Uninstall, so no path of keys.
    if (CmdInfo.m_params.size() != 1 || !CmdInfo.m_flags.empty() || CmdInfo.m_params[0].empty() ||
        CmdInfo.m_params[0].find('\\') != std::string::npos || CmdInfo.m_params[0].size() > 255) {
        ::MessageBoxA(nullptr, AfxLoadString(IDS_INVALID_PARAMETER).c_str(),
                      AfxLoadString(IDS_CAPTION).c_str(), MB_OK | MB_ICONSTOP);
        return 0;
    }
    CCleanupDlg Dialog(kUninstallKey + CmdInfo.m_params[0]);
    Dialog.DoModal();
    return 0;
}
