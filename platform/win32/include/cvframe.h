// A small class framework for the tools, in the style they are written in: a window class over a
// handle, dialogs whose controls are bound to members by id and whose messages reach virtual handlers,
// data exchange between members and controls, property pages and sheets (and wizards), and wrappers of
// the controls the tools use.
#pragma once

#include "commctrl.h"

#include <string>
#include <vector>

// The module whose resources dialogs and strings come from (set by the tool when it is loaded).
void AfxSetResourceHandle(HINSTANCE hInstance);
HINSTANCE AfxGetResourceHandle();
// A string of the tool's string table ("" when there is none).
std::string AfxLoadString(UINT id);
// printf into a std::string.
std::string AfxFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

class CWnd {
public:
    CWnd() = default;
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}
    virtual ~CWnd() = default;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL EnableWindow(BOOL bEnable = TRUE) const { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL ShowWindow(int nCmdShow) const { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    void SetWindowText(const std::string& text) const { ::SetWindowTextA(m_hWnd, text.c_str()); }
    std::string GetWindowText() const;
    void SetDlgItemText(int nID, const std::string& text) const {
        ::SetDlgItemTextA(m_hWnd, nID, text.c_str());
    }
    std::string GetDlgItemText(int nID) const;
    void EnableDlgItem(int nID, BOOL bEnable) const { ::EnableWindow(GetDlgItem(nID), bEnable); }
    void ShowDlgItem(int nID, int nCmdShow) const { ::ShowWindow(GetDlgItem(nID), nCmdShow); }
    void CheckDlgButton(int nID, UINT nCheck) const { ::CheckDlgButton(m_hWnd, nID, nCheck); }
    UINT IsDlgButtonChecked(int nID) const { return ::IsDlgButtonChecked(m_hWnd, nID); }
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse) const {
        return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr);
    }
    BOOL KillTimer(UINT_PTR nIDEvent) const { return ::KillTimer(m_hWnd, nIDEvent); }
    void SetIcon(HICON hIcon, BOOL bBigIcon) const {
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
    }
    int MessageBox(const std::string& text, const std::string& caption, UINT nType = MB_OK) const {
        return ::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), nType);
    }

    HWND m_hWnd = nullptr;
};

// A user-interface thread of the program: InitInstance runs on the new thread; when it returns TRUE the
// thread's message loop runs until WM_QUIT, then ExitInstance; an auto-deleting thread object is deleted
// when its thread ends.
class CWinThread {
public:
    virtual ~CWinThread() = default;
    BOOL CreateThread();
    virtual BOOL InitInstance() = 0;
    virtual int ExitInstance() { return 0; }
    virtual int Run();
    BOOL m_bAutoDelete = TRUE;
    HANDLE m_hThread = nullptr;

private:
    static DWORD WINAPI ThreadEntry(LPVOID pThread);
};

// The program's command line as the framework's parser sees it: the words after the program's own
// name (a quoted word keeps its spaces); a word that starts with '/' or '-' is a flag, any other a
// parameter.
struct CCommandLineInfo {
    std::vector<std::string> m_params;
    std::vector<std::string> m_flags;
};
void AfxParseCommandLine(CCommandLineInfo& rCmdInfo);

// The wait cursor while a long step runs (BeginWaitCursor / EndWaitCursor).
void AfxBeginWaitCursor();
void AfxEndWaitCursor();

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int nCheck) const { SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck)); }
};

class CEdit : public CWnd {
public:
    void LimitText(int nChars) const { SendMessage(EM_LIMITTEXT, static_cast<WPARAM>(nChars)); }
};

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon) const {
        return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(hIcon)));
    }
};

class CComboBox : public CWnd {
public:
    int AddString(const std::string& text) const {
        return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    int InsertString(int nIndex, const std::string& text) const {
        return static_cast<int>(SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(nIndex),
                                            reinterpret_cast<LPARAM>(text.c_str())));
    }
    void ResetContent() const { SendMessage(CB_RESETCONTENT); }
    int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    int SetCurSel(int nSelect) const {
        return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nSelect)));
    }
    std::string GetLBText(int nIndex) const;
    DWORD_PTR GetItemData(int nIndex) const {
        return static_cast<DWORD_PTR>(SendMessage(CB_GETITEMDATA, static_cast<WPARAM>(nIndex)));
    }
    int SetItemData(int nIndex, DWORD_PTR data) const {
        return static_cast<int>(
            SendMessage(CB_SETITEMDATA, static_cast<WPARAM>(nIndex), static_cast<LPARAM>(data)));
    }
    int FindString(int nStartAfter, const std::string& text) const {
        return static_cast<int>(SendMessage(CB_FINDSTRING, static_cast<WPARAM>(nStartAfter),
                                            reinterpret_cast<LPARAM>(text.c_str())));
    }
};

class CListBox : public CWnd {
public:
    int AddString(const std::string& text) const {
        return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    void ResetContent() const { SendMessage(LB_RESETCONTENT); }
    int GetCount() const { return static_cast<int>(SendMessage(LB_GETCOUNT)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(LB_GETCURSEL)); }
    int SetCurSel(int nSelect) const {
        return static_cast<int>(SendMessage(LB_SETCURSEL, static_cast<WPARAM>(nSelect)));
    }
    std::string GetText(int nIndex) const;
};

class CSliderCtrl : public CWnd {
public:
    void SetRange(int nMin, int nMax) const { SendMessage(TBM_SETRANGE, TRUE, MAKELPARAM(nMin, nMax)); }
    int GetPos() const { return static_cast<int>(SendMessage(TBM_GETPOS)); }
    void SetPos(int nPos) const { SendMessage(TBM_SETPOS, TRUE, nPos); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(int nLower, int nUpper) const {
        SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper);
    }
    int SetPos(int nPos) const {
        return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos)));
    }
};

class CImageList {
public:
    ~CImageList() { DeleteImageList(); }
    BOOL Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow);
    // From a bitmap of the tool's resources: its strip of images of `cx` pixels, masked by a colour.
    BOOL Create(UINT nBitmapID, int cx, int nGrow, COLORREF crMask);
    BOOL DeleteImageList();
    int GetImageCount() const { return ImageList_GetImageCount(m_hImageList); }
    HIMAGELIST m_hImageList = nullptr;
};

class CListCtrl : public CWnd {
public:
    int InsertColumn(int nCol, const std::string& heading, int nFormat = LVCFMT_LEFT, int nWidth = -1) const;
    BOOL SetColumnWidth(int nCol, int cx) const {
        return SendMessage(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(nCol), cx) != 0;
    }
    int GetColumnWidth(int nCol) const {
        return static_cast<int>(SendMessage(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(nCol)));
    }
    int GetStringWidth(const std::string& text) const {
        return static_cast<int>(SendMessage(LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    int InsertItem(int nItem, const std::string& text, int nImage) const;
    BOOL SetItemText(int nItem, int nSubItem, const std::string& text) const;
    std::string GetItemText(int nItem, int nSubItem) const;
    BOOL SetItemData(int nItem, DWORD_PTR data) const;
    DWORD_PTR GetItemData(int nItem) const;
    UINT GetItemState(int nItem, UINT nMask) const {
        return static_cast<UINT>(
            SendMessage(LVM_GETITEMSTATE, static_cast<WPARAM>(nItem), static_cast<LPARAM>(nMask)));
    }
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
    int GetNextItem(int nItem, int nFlags) const {
        return static_cast<int>(SendMessage(LVM_GETNEXTITEM, static_cast<WPARAM>(nItem), nFlags));
    }
    BOOL DeleteAllItems() const { return SendMessage(LVM_DELETEALLITEMS) != 0; }
    HIMAGELIST SetImageList(CImageList* pImageList, int nImageList) const {
        return reinterpret_cast<HIMAGELIST>(
            SendMessage(LVM_SETIMAGELIST, static_cast<WPARAM>(nImageList),
                        reinterpret_cast<LPARAM>(pImageList ? pImageList->m_hImageList : nullptr)));
    }
};

// Data exchange between a dialog's members and its controls (UpdateData).
class CDataExchange {
public:
    CDataExchange(HWND hDlg, BOOL bSaveAndValidate) : m_hDlg(hDlg), m_bSaveAndValidate(bSaveAndValidate) {}
    HWND m_hDlg;
    BOOL m_bSaveAndValidate;
};
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
void DDX_Radio(CDataExchange* pDX, int nIDC,
               int& value); // the first button of a group; value = index checked
void DDX_Slider(CDataExchange* pDX, int nIDC, int& value);
void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index);
void DDX_LBIndex(CDataExchange* pDX, int nIDC, int& index);
void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, HWND hParent = nullptr)
        : m_nIDTemplate(nIDTemplate), m_hParent(hParent) {}
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) const { ::EndDialog(m_hWnd, nResult); }
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    // Message handlers; each returns TRUE when it handled the message.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX) { (void)pDX; }
    virtual void OnOK();
    virtual void OnCancel();
    virtual BOOL OnCommand(WORD nID, WORD nCode, HWND hControl);
    virtual BOOL OnNotify(NMHDR* pHeader, LRESULT* pResult);
    virtual void OnTimer(UINT_PTR nIDEvent) { (void)nIDEvent; }
    virtual void OnHScroll(UINT nCode, UINT nPos, HWND hScrollBar) {
        (void)nCode;
        (void)nPos;
        (void)hScrollBar;
    }
    virtual BOOL OnHelpInfo(HELPINFO* pHelpInfo) {
        (void)pHelpInfo;
        return FALSE;
    }
    virtual BOOL OnSetCursor(HWND hWnd, UINT nHitTest, UINT message) {
        (void)hWnd;
        (void)nHitTest;
        (void)message;
        return FALSE;
    }
    virtual void OnDestroy() {}
    // Any other message: TRUE when handled (the result in *pResult).
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
        (void)message;
        (void)wParam;
        (void)lParam;
        (void)pResult;
        return FALSE;
    }

    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    HWND m_hParent;
    std::vector<CWnd*> m_boundControls;
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
};

class CPropertySheet;

class CPropertyPage : public CDialog {
public:
    explicit CPropertyPage(UINT nIDTemplate) : CDialog(nIDTemplate) {}
    PROPSHEETPAGEA m_psp{};
    CPropertySheet* GetParentSheet() const { return m_pSheet; }
    void SetModified(BOOL bChanged = TRUE) const;

protected:
    virtual BOOL OnSetActive() { return TRUE; }
    virtual BOOL OnKillActive() { return UpdateData(TRUE); }
    virtual BOOL OnApply() { return TRUE; }
    virtual void OnReset() {}
    virtual BOOL OnQueryCancel() { return TRUE; }
    virtual LRESULT OnWizardBack() { return 0; }
    virtual LRESULT OnWizardNext() { return 0; }
    virtual BOOL OnWizardFinish() { return TRUE; }
    BOOL OnNotify(NMHDR* pHeader, LRESULT* pResult) override;
    // A page's OK and Cancel come from its sheet.
    void OnOK() override {}
    void OnCancel() override {}

private:
    friend class CPropertySheet;
    CPropertySheet* m_pSheet = nullptr;
};

class CPropertySheet : public CWnd {
public:
    explicit CPropertySheet(std::string caption, HWND hParent = nullptr, UINT nStartPage = 0)
        : m_caption(std::move(caption)), m_hParent(hParent), m_nStartPage(nStartPage) {}
    void AddPage(CPropertyPage* pPage) { m_pages.push_back(pPage); }
    void SetWizardMode() { m_bWizard = true; }
    void SetWizardButtons(DWORD dwFlags) const { PropSheet_SetWizButtons(m_hWnd, dwFlags); }
    // ID_WIZFINISH, IDOK or IDCANCEL.
    INT_PTR DoModal();
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }

private:
    std::string m_caption;
    HWND m_hParent;
    UINT m_nStartPage;
    bool m_bWizard = false;
    std::vector<CPropertyPage*> m_pages;
};
