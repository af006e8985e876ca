// CvCard: the card properties page the device manager shows for a card CvInstal serves, the card
// settings dialog and the port settings dialog. The page reads what CvInstal published under the card's
// device key; the dialogs write into CvInstal's Parameters tree and tell the driver to read it again.
#pragma once

#include "cvframe.h"
#include "msports.h"
#include "resource.h"
#include "setupapi.h"

#define CV_MAX_PORTS 8
#define CV_MAX_DOS_NUMBER 256

#define CV_BUS_ISA 1
#define CV_BUS_PCI 5
#define CV_BUS_PCMCIA 8

// UART type codes.
#define CV_UART_16450 4
#define CV_UART_16550 5
#define CV_UART_16750 7
#define CV_UART_16950 9

// The card settings dialog tells the page to show the serial ports' addresses again.
#define CV_WM_REFRESH_ADDRESSES (WM_APP + 1)

#define CV_SERVICE_KEY "SYSTEM\\CurrentControlset\\Services\\CvInstal"

HINSTANCE CvCardInstance();
std::string CvCardString(UINT nID);

// What identifies the card in CvInstal's Parameters tree and among its device interfaces.
struct CV_CARD_IDENTITY {
    DWORD dwBusType = 0;
    DWORD dwVendorID = 0, dwDeviceID = 0, dwBusNumber = 0, dwSlotNumber = 0; // PCI
    DWORD dwDeviceReference = 0;                                             // ISA and PCMCIA
    std::string strHardwareID;                                               // ISA and PCMCIA
};

// A DWORD value; FALSE when it is missing or of another type.
BOOL CvReadDword(HKEY hKey, const char* pszName, DWORD& dwValue);
BOOL CvWriteDword(HKEY hKey, const char* pszName, DWORD dwValue);

// The card's key under CvInstal's Parameters tree, found or created (NULL when neither works); a port's
// "ComPort<n>" key under it, the keys before it made on the way.
HKEY CvOpenCardParametersKey(const CV_CARD_IDENTITY& Card);
HKEY CvOpenPortParametersKey(HKEY hCard, int nPort);
// Tells CvInstal to read its parameters again: opens the card's device interface.
void CvNotifyDriver(const CV_CARD_IDENTITY& Card);
// Opens a COM port exclusively and closes it again, so that its driver takes the new settings now; tells
// the user when the port is held open elsewhere.
void CvUpdatePort(HWND hOwner, int nCom);

// The one CvCard dialog that may be open at a time, under the named mutex.
BOOL CvClaimDialog();
void CvReleaseDialog();
// Runs a dialog modally on a user-interface thread of its own; the dialog and the thread delete
// themselves, and the thread's end lets the next dialog open.
void CvRunDialogThread(CDialog* pDialog);
// Context help of a control: its popup topic in CvCard's help file.
BOOL CvShowContextHelp(const HELPINFO* pHelpInfo, const int (*pTopics)[2], int nTopics);

class CCardPropertiesPage : public CPropertyPage {
public:
    CCardPropertiesPage(HKEY hDeviceKey, HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    ~CCardPropertiesPage() override;

    // Reads everything the page shows; FALSE when the card's values are missing or out of range.
    BOOL Prepare();
    HPROPSHEETPAGE Create();

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override;
    BOOL OnHelpInfo(HELPINFO* pHelpInfo) override;
    void OnReset() override;
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

private:
    static UINT CALLBACK PageCallback(HWND hWnd, UINT uMsg, PROPSHEETPAGEA* pPage);

    BOOL ReadArbiterTable();
    void ReadPresentTables();
    BOOL ReadIdentity();
    BOOL FindPortNumber(int nPort, BOOL bSerial, int& nNumber) const;
    HKEY OpenActiveInstance(int nPort, REGSAM samDesired) const;
    void FillList(int nRow);
    void FillRow(int nRow);
    void OnListChange(int nRow);

    // The rename and its steps, each with its undo.
    BOOL RenamePort(int nRow, int nOld, int nNew);
    BOOL MoveDatabaseClaim(int nFrom, int nTo);
    BOOL MoveDosName(const char* pszFrom, const char* pszTo, BOOL bSerial);
    BOOL RenameFriendlyName(int nFrom, int nTo, BOOL bSerial);
    BOOL WritePortName(int nRow, int nNumber, BOOL bSerial);

    void OpenCardSettings();
    void OpenPortSettings(int nPort);

    HKEY m_hDeviceKey;
    HDEVINFO m_hDevInfo;
    PSP_DEVINFO_DATA m_pDevInfoData;
    CV_CARD_IDENTITY m_Card;
    DWORD m_dwComCount = 0, m_dwLptCount = 0;
    std::string m_strTitle;
    std::string m_strEnumBase;
    BYTE* m_pArbiter = nullptr;
    DWORD m_dwArbiterLength = 0;
    BOOL m_abComPresent[CV_MAX_DOS_NUMBER] = {};
    BOOL m_abLptPresent[CV_MAX_DOS_NUMBER] = {};
    int m_anCurrent[CV_MAX_PORTS] = {};
    int m_anStarting[CV_MAX_PORTS] = {};
    BOOL m_bFilling = FALSE;
};

class CCardSettingsDialog : public CDialog {
public:
    CCardSettingsDialog(HKEY hDeviceKey, const CV_CARD_IDENTITY& Card, const int* pComNumbers, int nComCount);
    // Reads the card's settings; FALSE when the dialog must not open.
    BOOL Prepare();
    HWND m_hPage = nullptr;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    BOOL OnHelpInfo(HELPINFO* pHelpInfo) override;

private:
    HKEY m_hDeviceKey;
    CV_CARD_IDENTITY m_Card;
    int m_anComNumbers[CV_MAX_PORTS] = {};
    int m_nComCount;
    BOOL m_bBaudrate = FALSE, m_bHardwareAccess = FALSE, m_bDriver = FALSE;
    DWORD m_dwDivisor = 1, m_dwMaximumBaudrate = 0, m_dwUsePortSpace = 0, m_dwLogLevel = 0;
};

class CPortSettingsDialog : public CDialog {
public:
    CPortSettingsDialog(HKEY hDeviceKey, const CV_CARD_IDENTITY& Card, int nPort, const int* pComNumbers,
                        int nComCount);
    BOOL Prepare();

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override;
    void OnHScroll(UINT nCode, UINT nPos, HWND hScrollBar) override;
    void OnOK() override;
    BOOL OnHelpInfo(HELPINFO* pHelpInfo) override;

private:
    struct PORT_VALUES {
        DWORD dwRxTriggerLevel, dwSoftTxLimit, dwTxTriggerLevel;
        DWORD dwDuplexOperation, dwCtsTrue;
        DWORD dwDivisor, dwMultiplier;
        DWORD dwUartType;
    };
    void FillMultipliers();
    void ShowFifo();
    void SetLevelText(int nID, int nLevel, BOOL bFifoOff = FALSE);
    void TakeValues(PORT_VALUES& Values);
    BOOL WritePort(HKEY hCard, int nPort, const PORT_VALUES& Values);
    void OnApplyToAll();
    void EnableCancel();

    HKEY m_hDeviceKey;
    CV_CARD_IDENTITY m_Card;
    int m_nPort;
    int m_anComNumbers[CV_MAX_PORTS] = {};
    int m_nComCount;
    BOOL m_b422485 = FALSE, m_bFixed = FALSE, m_bFlexible = FALSE;
    DWORD m_dwRxTriggerLevel = 0, m_dwSoftTxLimit = 0, m_dwTxTriggerLevel = 0;
    DWORD m_dwDuplexOperation = 0, m_dwCtsTrue = 0;
    DWORD m_dwMaximumBaudrate = 0, m_dwDivisor = 1, m_dwMultiplier = 1;
    DWORD m_dwUsedUartType = 0, m_dwDetectedUartType = 0;
    BOOL m_bFifoOn = TRUE;
    int m_nReceiverLevel = 0;
};
