// CvPci, the Windows NT 4 Control Panel applet of the suite: the port list with the ports of every
// driver that published them, the property sheet of a port, the ISA card wizard, card deletion and the
// restart of the CvNt service that makes the driver take a new configuration.
#pragma once

#include "cvframe.h"
#include "resource.h"

#include <memory>
#include <string>
#include <vector>

#define CV_COM_SLOTS 255
#define CV_UNSET (-1)
#define CV_KIND_OTHER 0 // a port of another driver
#define CV_KIND_CVNT 10 // a port of CvNt, found in its CurrentConfig tree
#define CV_BUS_ISA 1
#define CV_BUS_PCI 5

// The driver's registry tree and the other keys the applet reads, under HKEY_LOCAL_MACHINE.
#define CV_KEY_SERVICE "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CVNT"
#define CV_KEY_CURRENTCONFIG CV_KEY_SERVICE "\\CURRENTCONFIG"
#define CV_KEY_PARAMETERS CV_KEY_SERVICE "\\PARAMETERS"
#define CV_KEY_TEMPLATES CV_KEY_SERVICE "\\TEMPLATES"
#define CV_KEY_SERIALCOMM "HARDWARE\\DEVICEMAP\\SERIALCOMM"
#define CV_KEY_PORTS "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports"

// The change counters: -1 when nothing needs a restart of the driver, 0 or more when something does.
enum ChangeCounter {
    CHANGE_PORTSETTINGS = 0, // the Port Settings page and the Advanced Settings dialog
    CHANGE_CARDSETTINGS,     // the wizard's card settings page
    CHANGE_GENERAL,          // the General page's COM number
    CHANGE_ADVANCED,         // set to 50 whenever the Advanced Settings dialog opens
    CHANGE_PORTLIST,         // Delete and View's Refresh
    CHANGE_COUNTERS
};

// One listed port.
class CPortInfo {
public:
    CPortInfo();
    // Loads the port of a SERIALCOMM value ("Serial%d"); FALSE when the entry does not parse.
    BOOL LoadPortInfo(const std::string& serialName);
    // Writes (or deletes) a value of the port's key in the driver's Parameters tree.
    BOOL SetPortValue(const char* pszName, DWORD dwValue, BOOL bDelete);
    BOOL SetComNumber(int nCom) { return SetPortValue("nCom", static_cast<DWORD>(nCom), nCom == 0); }
    BOOL SetFifoDisabled(BOOL bDisabled);
    BOOL SetSoftTxLimit(int nLevel);
    BOOL SetTxTriggerLevel();
    BOOL SetRxTriggerLevel(int nLevel);
    BOOL IsCvNtPort() const { return m_nKind == CV_KIND_CVNT; }

    BOOL m_bValid;
    int m_nKind;
    int m_nCom;
    int m_nSerialIndex;
    int m_nBus;
    int m_nCard;
    int m_nPort;
    int m_nSlot;
    int m_nBusNumber;
    DWORD m_ulDeviceID;
    DWORD m_ulVendorID;
    int m_nInterrupt;
    int m_nPortAddress;
    int m_nTxTriggerLevel;
    int m_nRxTriggerLevel;
    int m_nSoftTxLimit;
    BOOL m_bFixedCom;
    BOOL m_bFifoDisabled;
    BOOL m_bAdminOnly;
    BOOL m_bRs485;
    BOOL m_bHalfDuplex;
    BOOL m_bCtsForced;
    BOOL m_bChanged;
    std::string m_strDescription;
    std::string m_strDriverKey;
    std::vector<BYTE> m_resourceList;

private:
    BOOL ParseSerialComm(const std::string& serialName);
    BOOL FindInCurrentConfig();
    void ReadCurrentConfig();
    void ReadTemplateDescription();
    void ReadParameters();
    void NormalisePciFifos();
    void ReadResourceMap();
};

// What the port list, its pages and the wizard share: the port table, the used COM numbers, the change
// counters, the user's rights and the list's view.
class CPortList {
public:
    CPortList();
    std::unique_ptr<CPortInfo> m_apPorts[CV_COM_SLOTS];
    std::vector<int> m_usedCom; // zero-based COM numbers of the listed ports, highest first
    int m_anChange[CHANGE_COUNTERS];
    BOOL m_bAdministrator = FALSE;
    BOOL m_bLargeIcons = FALSE;
    int m_nRestartNesting = 0;

    void Raise(ChangeCounter counter) { m_anChange[counter]++; }
    BOOL AnyChange() const;
    void ClearChanges();
};

// The administrator test: the process token holds the enabled Administrators group.
BOOL IsUserAdministrator();

// The port list dialog (the applet's one dialog).
class CPortListDlg : public CDialog {
public:
    explicit CPortListDlg(HWND hParent);
    // Runs the driver restart when a change counter asks for one (after the sheet, the wizard, a
    // deletion or View's Refresh).
    void RestartDriver();

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override;
    BOOL OnNotify(NMHDR* pHeader, LRESULT* pResult) override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnSetCursor(HWND hWnd, UINT nHitTest, UINT message) override;

private:
    void FillPortList(BOOL bReread, BOOL bLargeIcons);
    void AddPortRow(int nSlot);
    int SelectedSlot() const;
    void OnSelectionChange();
    void OnSettings();
    void OnDelete();
    void OnView();
    void OnAbout();
    void OnAdd();
    BOOL StopAndStartService(DWORD& dwError);

    CPortList m_list;
    CListCtrl m_ports;
    CImageList m_smallImages, m_largeImages;
    std::string m_astrStrings[13]; // strings 2192 to 2204
    int m_nTicks = 0;
    BOOL m_bWaiting = FALSE;
};

// The property sheet of a port (General, Port Settings, Resources); runs it for the port in `nSlot`.
void RunPortSheet(HWND hParent, CPortList& list, int nSlot, const std::string& comName);

// The ISA card wizard; writes the new card under Parameters\Bus1 on Finish.
void RunIsaCardWizard(HWND hParent, CPortList& list);

// Removes the card of the port in `nSlot` from the Parameters tree and renumbers the cards above it.
void DeleteIsaCard(const CPortInfo& port);

// Key helpers over the Win32 registry API.
BOOL ReadDword(HKEY hKey, const char* pszName, DWORD& dwValue);
BOOL WriteDword(HKEY hKey, const char* pszName, DWORD dwValue);
BOOL CopyKey(HKEY hFrom, HKEY hTo);
void DeleteSubkeysOf(HKEY hKey);
DWORD SubkeyCount(HKEY hKey);
