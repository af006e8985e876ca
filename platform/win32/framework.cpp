#include "platform/win32/include/cvframe.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The program's resource module: one program runs on a user-interface thread at a time.
thread_local HINSTANCE tResourceHandle = nullptr;

std::string TextOf(HWND hwnd) {
    int length = ::GetWindowTextLengthA(hwnd);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    ::GetWindowTextA(hwnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

} // namespace

void AfxSetResourceHandle(HINSTANCE hInstance) {
    tResourceHandle = hInstance;
}

HINSTANCE AfxGetResourceHandle() {
    return tResourceHandle;
}

std::string AfxLoadString(UINT id) {
    char buffer[4096];
    int n = ::LoadStringA(tResourceHandle, id, buffer, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(n));
}

std::string AfxFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    va_end(args);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
}

void AfxBeginWaitCursor() {
    ::SetCursor(::LoadCursorA(nullptr, IDC_WAIT));
}

void AfxEndWaitCursor() {
    ::SetCursor(::LoadCursorA(nullptr, IDC_ARROW));
}

std::string CWnd::GetWindowText() const {
    return TextOf(m_hWnd);
}

std::string CWnd::GetDlgItemText(int nID) const {
    HWND item = GetDlgItem(nID);
    return item ? TextOf(item) : std::string();
}

std::string CComboBox::GetLBText(int nIndex) const {
    LRESULT length = SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex));
    if (length < 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string CListBox::GetText(int nIndex) const {
    LRESULT length = SendMessage(LB_GETTEXTLEN, static_cast<WPARAM>(nIndex));
    if (length < 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessage(LB_GETTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

BOOL CImageList::Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow) {
    DeleteImageList();
    m_hImageList = ImageList_Create(cx, cy, nFlags, nInitial, nGrow);
    return m_hImageList != nullptr;
}

BOOL CImageList::Create(UINT nBitmapID, int cx, int nGrow, COLORREF crMask) {
    if (!Create(cx, cx, ILC_COLOR | ILC_MASK, 0, nGrow))
        return FALSE;
    HBITMAP bitmap = ::LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCE(nBitmapID));
    return bitmap && ImageList_AddMasked(m_hImageList, bitmap, crMask) >= 0;
}

BOOL CImageList::DeleteImageList() {
    if (!m_hImageList)
        return FALSE;
    ImageList_Destroy(m_hImageList);
    m_hImageList = nullptr;
    return TRUE;
}

int CListCtrl::InsertColumn(int nCol, const std::string& heading, int nFormat, int nWidth) const {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_FMT | (nWidth >= 0 ? LVCF_WIDTH : 0);
    column.fmt = nFormat;
    column.cx = nWidth;
    column.pszText = const_cast<char*>(heading.c_str());
    return static_cast<int>(
        SendMessage(LVM_INSERTCOLUMNA, static_cast<WPARAM>(nCol), reinterpret_cast<LPARAM>(&column)));
}

int CListCtrl::InsertItem(int nItem, const std::string& text, int nImage) const {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = nItem;
    item.pszText = const_cast<char*>(text.c_str());
    item.iImage = nImage;
    return static_cast<int>(SendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

BOOL CListCtrl::SetItemText(int nItem, int nSubItem, const std::string& text) const {
    LVITEMA item{};
    item.iSubItem = nSubItem;
    item.pszText = const_cast<char*>(text.c_str());
    return SendMessage(LVM_SETITEMTEXTA, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item)) != 0;
}

std::string CListCtrl::GetItemText(int nItem, int nSubItem) const {
    char buffer[512];
    LVITEMA item{};
    item.iSubItem = nSubItem;
    item.pszText = buffer;
    item.cchTextMax = sizeof buffer;
    LRESULT n = SendMessage(LVM_GETITEMTEXTA, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item));
    return std::string(buffer, static_cast<size_t>(n));
}

BOOL CListCtrl::SetItemData(int nItem, DWORD_PTR data) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    item.lParam = static_cast<LPARAM>(data);
    return SendMessage(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

DWORD_PTR CListCtrl::GetItemData(int nItem) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    SendMessage(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return static_cast<DWORD_PTR>(item.lParam);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    rControl.m_hWnd = ::GetDlgItem(pDX->m_hDlg, nIDC);
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
    if (pDX->m_bSaveAndValidate)
        value = static_cast<int>(::IsDlgButtonChecked(pDX->m_hDlg, nIDC));
    else
        ::CheckDlgButton(pDX->m_hDlg, nIDC, static_cast<UINT>(value));
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value) {
    // The group's buttons carry consecutive ids from the first one.
    int index = 0;
    if (pDX->m_bSaveAndValidate)
        value = -1;
    for (int id = nIDC; HWND button = ::GetDlgItem(pDX->m_hDlg, id); ++id, ++index) {
        if (id != nIDC && (::GetWindowLongPtrA(button, GWL_STYLE) & WS_GROUP))
            break;
        if (pDX->m_bSaveAndValidate) {
            if (::SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED)
                value = index;
        } else {
            ::SendMessageA(button, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }
}

void DDX_Slider(CDataExchange* pDX, int nIDC, int& value) {
    HWND slider = ::GetDlgItem(pDX->m_hDlg, nIDC);
    if (pDX->m_bSaveAndValidate)
        value = static_cast<int>(::SendMessageA(slider, TBM_GETPOS, 0, 0));
    else
        ::SendMessageA(slider, TBM_SETPOS, TRUE, value);
}

void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index) {
    HWND combo = ::GetDlgItem(pDX->m_hDlg, nIDC);
    if (pDX->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(combo, CB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_LBIndex(CDataExchange* pDX, int nIDC, int& index) {
    HWND list = ::GetDlgItem(pDX->m_hDlg, nIDC);
    if (pDX->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(list, LB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value) {
    HWND control = ::GetDlgItem(pDX->m_hDlg, nIDC);
    if (pDX->m_bSaveAndValidate)
        value = TextOf(control);
    else
        ::SetWindowTextA(control, value.c_str());
}

// ---------------------------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------------------------

INT_PTR CDialog::DoModal() {
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCE(m_nIDTemplate), m_hParent, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(m_hWnd, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnCommand(WORD nID, WORD nCode, HWND hControl) {
    (void)hControl;
    if (nCode != BN_CLICKED)
        return FALSE;
    if (nID == IDOK) {
        OnOK();
        return TRUE;
    }
    if (nID == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

BOOL CDialog::OnNotify(NMHDR* pHeader, LRESULT* pResult) {
    (void)pHeader;
    (void)pResult;
    return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        // A dialog gets itself; a property page gets its sheet's copy of its page record.
        self = ::GetParent(hDlg) && (::GetWindowLongPtrA(hDlg, GWL_STYLE) & WS_CHILD)
                   ? reinterpret_cast<CDialog*>(reinterpret_cast<PROPSHEETPAGEA*>(lParam)->lParam)
                   : reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hDlg, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_hWnd = hDlg;
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hDlg, DWLP_USER));
    }
    if (!self)
        return FALSE;
    INT_PTR handled = self->Dispatch(message, wParam, lParam);
    if (message == WM_DESTROY)
        self->m_hWnd = nullptr;
    return handled;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
    case WM_NOTIFY:
        if (OnNotify(reinterpret_cast<NMHDR*>(lParam), &result)) {
            ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        OnTimer(wParam);
        return TRUE;
    case WM_HSCROLL:
        OnHScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return TRUE;
    case WM_HELP:
        return OnHelpInfo(reinterpret_cast<HELPINFO*>(lParam));
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam), HIWORD(lParam))) {
            ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    default:
        if (OnMessage(message, wParam, lParam, &result)) {
            ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    }
}

// ---------------------------------------------------------------------------------------------
// Property pages and sheets
// ---------------------------------------------------------------------------------------------

void CPropertyPage::SetModified(BOOL bChanged) const {
    ::SendMessageA(::GetParent(m_hWnd), bChanged ? PSM_CHANGED : PSM_UNCHANGED,
                   reinterpret_cast<WPARAM>(m_hWnd), 0);
}

BOOL CPropertyPage::OnNotify(NMHDR* pHeader, LRESULT* pResult) {
    if (m_pSheet && !m_pSheet->m_hWnd)
        m_pSheet->m_hWnd = ::GetParent(m_hWnd);
    switch (pHeader->code) {
    case PSN_SETACTIVE:
        *pResult = OnSetActive() ? 0 : -1;
        return TRUE;
    case PSN_KILLACTIVE:
        *pResult = OnKillActive() ? FALSE : TRUE;
        return TRUE;
    case PSN_APPLY:
        *pResult = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
        return TRUE;
    case PSN_RESET:
        OnReset();
        return TRUE;
    case PSN_QUERYCANCEL:
        *pResult = OnQueryCancel() ? FALSE : TRUE;
        return TRUE;
    case PSN_WIZBACK:
        *pResult = OnWizardBack();
        return TRUE;
    case PSN_WIZNEXT:
        *pResult = OnWizardNext();
        return TRUE;
    case PSN_WIZFINISH:
        *pResult = OnWizardFinish() ? FALSE : TRUE;
        return TRUE;
    default:
        return CDialog::OnNotify(pHeader, pResult);
    }
}

INT_PTR CPropertySheet::DoModal() {
    std::vector<PROPSHEETPAGEA> pages;
    for (CPropertyPage* page : m_pages) {
        page->m_pSheet = this;
        PROPSHEETPAGEA psp = page->m_psp;
        psp.dwSize = sizeof psp;
        psp.hInstance = AfxGetResourceHandle();
        psp.pszTemplate = MAKEINTRESOURCE(page->m_nIDTemplate);
        psp.pfnDlgProc = CPropertyPage::DialogProc;
        psp.lParam = reinterpret_cast<LPARAM>(page);
        pages.push_back(psp);
    }
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | (m_bWizard ? PSH_WIZARD : 0);
    header.hwndParent = m_hParent;
    header.hInstance = AfxGetResourceHandle();
    header.pszCaption = m_caption.c_str();
    header.nPages = static_cast<UINT>(pages.size());
    header.nStartPage = m_nStartPage;
    header.ppsp = pages.data();
    INT_PTR result = ::PropertySheetA(&header);
    m_hWnd = nullptr;
    if (result <= 0)
        return IDCANCEL;
    return m_bWizard ? ID_WIZFINISH : IDOK;
}

// ---------------------------------------------------------------------------------------------
// User-interface threads
// ---------------------------------------------------------------------------------------------

BOOL CWinThread::CreateThread() {
    m_hThread = ::CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr);
    return m_hThread != nullptr;
}

int CWinThread::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return ExitInstance();
}

DWORD WINAPI CWinThread::ThreadEntry(LPVOID pThread) {
    auto* self = static_cast<CWinThread*>(pThread);
    const int nResult = self->InitInstance() ? self->Run() : self->ExitInstance();
    if (self->m_bAutoDelete)
        delete self;
    return static_cast<DWORD>(nResult);
}

// ---------------------------------------------------------------------------------------------
// The command line
// ---------------------------------------------------------------------------------------------

void AfxParseCommandLine(CCommandLineInfo& rCmdInfo) {
    const char* p = ::GetCommandLineA();
    std::vector<std::string> words;
    while (p && *p) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p)
            break;
        std::string word;
        bool quoted = false;
        for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '"')
                quoted = !quoted;
            else
                word += *p;
        }
        words.push_back(word);
    }
    // The first word is the program itself.
    for (size_t i = 1; i < words.size(); ++i)
        (words[i].size() > 1 && (words[i][0] == '/' || words[i][0] == '-') ? rCmdInfo.m_flags
                                                                           : rCmdInfo.m_params)
            .push_back(words[i]);
}
