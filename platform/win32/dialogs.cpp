// The dialog manager and the window calls: dialogs built from their templates, modal loops, the default
// dialog procedure, message boxes, and the calls a program makes on windows and their texts.
#include "platform/win32/window.h"

#include <algorithm>
#include <cstring>

namespace win32 {

namespace {

// Messages whose value a dialog procedure returns itself rather than through DWLP_MSGRESULT.
bool ReturnsDirectly(UINT msg) {
    return msg == WM_INITDIALOG || msg == WM_QUERYDRAGICON;
}

} // namespace

HWND CreateDialogFromTemplate(Desktop& desktop, HINSTANCE module, const DialogTemplate& tmpl, HWND parent,
                              DLGPROC proc, LPARAM param, bool child) {
    auto w = std::make_unique<Window>();
    w->className = "#32770";
    w->text = tmpl.caption;
    w->style = tmpl.style;
    w->exStyle = tmpl.exStyle;
    w->id = child ? tmpl.id : 0;
    w->dialogUnits = RECT{tmpl.x, tmpl.y, tmpl.x + tmpl.cx, tmpl.y + tmpl.cy};
    w->rect = RECT{DialogUnitsToPixelsX(tmpl.x), DialogUnitsToPixelsY(tmpl.y),
                   DialogUnitsToPixelsX(tmpl.x + tmpl.cx), DialogUnitsToPixelsY(tmpl.y + tmpl.cy)};
    w->visible = false; // shown once it is initialised
    w->proc = DialogWindowProc;
    w->dialog.emplace();
    w->dialog->proc = proc;
    w->dialog->templateId = tmpl.id;
    w->dialog->module = module;
    if (child)
        w->parent = parent;
    else
        w->owner = parent;
    HWND hwnd = desktop.add(std::move(w));
    for (size_t i = 0; i < tmpl.controlCount; ++i)
        CreateControl(desktop, hwnd, tmpl.controls[i], module);
    // The focus goes to the first control that takes it, which WM_INITDIALOG is told.
    HWND focus = nullptr;
    if (Window* dialog = desktop.window(hwnd))
        for (HWND c : dialog->children)
            if (Window* cw = desktop.window(c);
                cw && (cw->style & WS_TABSTOP) && cw->visible && cw->enabled) {
                focus = c;
                break;
            }
    desktop.send(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
    return hwnd;
}

LRESULT DialogWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Desktop& desktop = Desktop::require("the dialog procedure");
    Window* w = desktop.window(hwnd);
    if (!w || !w->dialog)
        return 0;
    DialogState& d = *w->dialog;
    d.msgResult = 0;
    INT_PTR handled = d.proc ? d.proc(hwnd, msg, wParam, lParam) : FALSE;
    w = desktop.window(hwnd); // the procedure may have destroyed its dialog
    if (!w)
        return handled;
    if (ReturnsDirectly(msg))
        return handled;
    if (handled)
        return w->dialog->msgResult;
    switch (msg) {
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        return TRUE;
    case WM_GETTEXT: {
        size_t n = std::min<size_t>(w->text.size(), wParam ? wParam - 1 : 0);
        if (wParam) {
            std::memcpy(reinterpret_cast<char*>(lParam), w->text.data(), n);
            reinterpret_cast<char*>(lParam)[n] = '\0';
        }
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    case WM_SETICON: {
        HICON& slot = wParam == ICON_BIG ? w->dialog->bigIcon : w->dialog->smallIcon;
        HICON previous = slot;
        slot = reinterpret_cast<HICON>(lParam);
        return reinterpret_cast<LRESULT>(previous);
    }
    case WM_CLOSE:
        desktop.send(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    default:
        return 0;
    }
}

void RunModalLoop(Desktop& desktop, HWND window, const std::function<bool()>& ended) {
    Window* w = desktop.window(window);
    HWND owner = w ? w->owner : nullptr;
    Window* ownerWindow = desktop.window(owner);
    const bool ownerWasEnabled = ownerWindow && ownerWindow->enabled;
    if (ownerWindow)
        ownerWindow->enabled = false;
    if (w)
        w->visible = true;
    MSG msg;
    while (!ended()) {
        if (!desktop.getMessage(msg)) {
            desktop.postQuit(
                static_cast<int>(msg.wParam)); // WM_QUIT ends the loop and stays for the outer one
            break;
        }
        desktop.dispatch(msg);
    }
    if ((ownerWindow = desktop.window(owner)) != nullptr && ownerWasEnabled)
        ownerWindow->enabled = true;
}

} // namespace win32

using win32::Desktop;
using win32::Window;

// A dialog template of a module's resources, by its number.
static const win32::DialogTemplate* TemplateOf(Desktop& desktop, HINSTANCE instance, LPCSTR name) {
    win32::Module* module = desktop.moduleOf(instance);
    return module && module->resources && IS_INTRESOURCE(name) ? module->resources->dialog(LOWORD(name))
                                                               : nullptr;
}

INT_PTR DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
    Desktop& desktop = Desktop::require("DialogBoxParam");
    const win32::DialogTemplate* tmpl = TemplateOf(desktop, hInstance, lpTemplateName);
    if (!tmpl) {
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    HWND hwnd = win32::CreateDialogFromTemplate(desktop, hInstance, *tmpl, hWndParent, lpDialogFunc,
                                                dwInitParam, false);
    if (Window* w = desktop.window(hwnd))
        w->dialog->modal = true;
    win32::RunModalLoop(desktop, hwnd, [&] {
        Window* w = desktop.window(hwnd);
        return !w || w->dialog->ended;
    });
    Window* w = desktop.window(hwnd);
    INT_PTR result = w ? w->dialog->result : -1;
    desktop.destroy(hwnd);
    return result;
}

HWND CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
    Desktop& desktop = Desktop::require("CreateDialogParam");
    const win32::DialogTemplate* tmpl = TemplateOf(desktop, hInstance, lpTemplateName);
    if (!tmpl) {
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    bool child = (tmpl->style & WS_CHILD) != 0;
    HWND hwnd = win32::CreateDialogFromTemplate(desktop, hInstance, *tmpl, hWndParent, lpDialogFunc,
                                                dwInitParam, child);
    if (Window* w = desktop.window(hwnd))
        w->visible = (tmpl->style & WS_VISIBLE) != 0;
    return hwnd;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    Desktop& desktop = Desktop::require("EndDialog");
    Window* w = desktop.window(hDlg);
    if (!w || !w->dialog)
        return FALSE;
    w->dialog->ended = true;
    w->dialog->result = nResult;
    w->visible = false;
    return TRUE;
}

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return win32::ControlProc(hWnd, Msg, wParam, lParam);
}

BOOL DestroyWindow(HWND hWnd) {
    Desktop& desktop = Desktop::require("DestroyWindow");
    if (!desktop.window(hWnd))
        return FALSE;
    desktop.destroy(hWnd);
    return TRUE;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Desktop& desktop = Desktop::require("GetDlgItem");
    Window* w = desktop.window(hDlg);
    if (!w)
        return nullptr;
    for (HWND c : w->children)
        if (Window* cw = desktop.window(c); cw && cw->id == nIDDlgItem)
            return c;
    return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
    Window* w = Desktop::require("GetDlgCtrlID").window(hWnd);
    return w ? w->id : 0;
}

HWND GetParent(HWND hWnd) {
    Window* w = Desktop::require("GetParent").window(hWnd);
    return w ? (w->parent ? w->parent : w->owner) : nullptr;
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    return Desktop::require("SetWindowText").send(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) !=
           0;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    return static_cast<int>(Desktop::require("GetWindowText")
                                .send(hWnd, WM_GETTEXT, nMaxCount, reinterpret_cast<LPARAM>(lpString)));
}

int GetWindowTextLengthA(HWND hWnd) {
    return static_cast<int>(Desktop::require("GetWindowTextLength").send(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SetWindowTextA(item, lpString) : FALSE;
}

UINT GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) {
        if (cchMax > 0)
            lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
    Desktop& desktop = Desktop::require("EnableWindow");
    Window* w = desktop.window(hWnd);
    if (!w)
        return FALSE;
    BOOL wasDisabled = !w->enabled;
    w->enabled = bEnable != 0;
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND hWnd) {
    Window* w = Desktop::require("IsWindowEnabled").window(hWnd);
    return w && w->enabled;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    Window* w = Desktop::require("ShowWindow").window(hWnd);
    if (!w)
        return FALSE;
    BOOL wasVisible = w->visible;
    w->visible = nCmdShow != SW_HIDE;
    if (nCmdShow == SW_MINIMIZE)
        w->style |= WS_MINIMIZE;
    else if (nCmdShow == SW_RESTORE || nCmdShow == SW_SHOWNORMAL)
        w->style &= ~WS_MINIMIZE;
    return wasVisible;
}

BOOL IsWindowVisible(HWND hWnd) {
    Window* w = Desktop::require("IsWindowVisible").window(hWnd);
    return w && w->visible;
}

BOOL IsWindow(HWND hWnd) {
    return Desktop::require("IsWindow").window(hWnd) != nullptr;
}

BOOL IsIconic(HWND hWnd) {
    Window* w = Desktop::require("IsIconic").window(hWnd);
    return w && (w->style & WS_MINIMIZE);
}

BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (!item)
        return FALSE;
    Desktop::require("CheckDlgButton").send(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    HWND item = GetDlgItem(hDlg, nIDButton);
    return item ? static_cast<UINT>(Desktop::require("IsDlgButtonChecked").send(item, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    for (int id = nIDFirstButton; id <= nIDLastButton; ++id)
        CheckDlgButton(hDlg, id, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED);
    return TRUE;
}

LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) {
    Window* w = Desktop::require("GetWindowLongPtr").window(hWnd);
    if (!w)
        return 0;
    switch (nIndex) {
    case GWLP_USERDATA:
        return w->userData;
    case GWL_STYLE:
        return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE:
        return static_cast<LONG_PTR>(w->exStyle);
    case DWLP_MSGRESULT:
        return w->dialog ? w->dialog->msgResult : 0;
    case static_cast<int>(DWLP_USER):
        return w->dialog ? w->dialog->user : 0;
    default:
        return 0;
    }
}

LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    Window* w = Desktop::require("SetWindowLongPtr").window(hWnd);
    if (!w)
        return 0;
    LONG_PTR previous = GetWindowLongPtrA(hWnd, nIndex);
    switch (nIndex) {
    case GWLP_USERDATA:
        w->userData = dwNewLong;
        break;
    case GWL_STYLE:
        w->style = static_cast<DWORD>(dwNewLong);
        break;
    case GWL_EXSTYLE:
        w->exStyle = static_cast<DWORD>(dwNewLong);
        break;
    case DWLP_MSGRESULT:
        if (w->dialog)
            w->dialog->msgResult = dwNewLong;
        break;
    case static_cast<int>(DWLP_USER):
        if (w->dialog)
            w->dialog->user = dwNewLong;
        break;
    default:
        break;
    }
    return previous;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
    Window* w = Desktop::require("GetClientRect").window(hWnd);
    if (!w)
        return FALSE;
    *lpRect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    if (w->className != "#32770" && (w->exStyle & WS_EX_CLIENTEDGE || w->style & WS_BORDER))
        *lpRect = RECT{0, 0, std::max<LONG>(0, lpRect->right - 4), std::max<LONG>(0, lpRect->bottom - 4)};
    return TRUE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    Window* w = Desktop::require("GetWindowRect").window(hWnd);
    if (!w)
        return FALSE;
    *lpRect = w->rect;
    return TRUE;
}

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect) {
    (void)hDlg;
    lpRect->left = win32::DialogUnitsToPixelsX(lpRect->left);
    lpRect->right = win32::DialogUnitsToPixelsX(lpRect->right);
    lpRect->top = win32::DialogUnitsToPixelsY(lpRect->top);
    lpRect->bottom = win32::DialogUnitsToPixelsY(lpRect->bottom);
    return TRUE;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    (void)lpTimerFunc;
    return Desktop::require("SetTimer").setTimer(hWnd, nIDEvent, uElapse);
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    return Desktop::require("KillTimer").killTimer(hWnd, uIDEvent);
}

HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
    (void)hInstance;
    return reinterpret_cast<HCURSOR>(const_cast<char*>(lpCursorName));
}

HCURSOR SetCursor(HCURSOR hCursor) {
    Desktop& desktop = Desktop::require("SetCursor");
    HCURSOR previous =
        desktop.cursor() == "wait" ? LoadCursorA(nullptr, IDC_WAIT) : LoadCursorA(nullptr, IDC_ARROW);
    desktop.setCursor(hCursor == LoadCursorA(nullptr, IDC_WAIT) ? "wait" : "arrow");
    return previous;
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    return Desktop::require("MessageBox")
        .showMessageBox(hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType);
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return Desktop::require("SendMessage").send(hWnd, Msg, wParam, lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return Desktop::require("PostMessage").post(hWnd, Msg, wParam, lParam);
}

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    (void)hWnd;
    (void)wMsgFilterMin;
    (void)wMsgFilterMax;
    return Desktop::require("GetMessage").getMessage(*lpMsg);
}

BOOL TranslateMessage(const MSG* lpMsg) {
    (void)lpMsg;
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* lpMsg) {
    return Desktop::require("DispatchMessage").dispatch(*lpMsg);
}

void PostQuitMessage(int nExitCode) {
    Desktop::require("PostQuitMessage").postQuit(nExitCode);
}

BOOL IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
    (void)hDlg;
    (void)lpMsg;
    return FALSE;
}

LRESULT SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR lpString, int c, LPSIZE psizl) {
    (void)hdc;
    psizl->cx = win32::TextWidth(std::string(lpString, static_cast<size_t>(std::max(0, c))));
    psizl->cy = win32::kBaseUnitY;
    return TRUE;
}
