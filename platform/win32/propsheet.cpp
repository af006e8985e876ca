// Property sheets and wizards: a sheet window with its tab (or wizard) buttons and its pages, each page
// a child dialog made when it is first shown and told of the sheet's events through PSN_ notifications.
#include "platform/win32/window.h"

#include <algorithm>

namespace win32 {

namespace {

constexpr int kMargin = 7;       // dialog units around the pages
constexpr int kTabHeight = 18;   // dialog units above a property sheet's pages
constexpr int kButtonWidth = 50; // dialog units
constexpr int kButtonHeight = 14;

HWND AddButton(Desktop& desktop, HWND sheet, int id, const char* text, int x, int y, bool visible) {
    const uint32_t style = WS_CHILD | WS_TABSTOP | (visible ? WS_VISIBLE : 0) | BS_PUSHBUTTON;
    ControlTemplate t{
        "BUTTON",     text,         0, id, style, 0, static_cast<short>(x), static_cast<short>(y),
        kButtonWidth, kButtonHeight};
    return CreateControl(desktop, sheet, t, nullptr);
}

SheetState& S(Window& w) {
    return *w.sheet;
}

// Sends a PSN_ notification to page `index` (made already); its answer.
LRESULT NotifyPage(Desktop& desktop, Window& sheet, int index, UINT code, LPARAM lParam = 0) {
    HWND page = S(sheet).pageWindows[index];
    if (!page)
        return 0;
    PSHNOTIFY n{};
    n.hdr.hwndFrom = sheet.handle;
    n.hdr.idFrom = 0;
    n.hdr.code = code;
    n.lParam = lParam;
    return desktop.send(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
}

void UpdateWizardButtons(Desktop& desktop, Window& sheet) {
    DWORD flags = S(sheet).wizardButtons;
    if (Window* back = desktop.window(GetDlgItem(sheet.handle, ID_WIZBACK)))
        back->enabled = (flags & PSWIZB_BACK) != 0;
    Window* next = desktop.window(GetDlgItem(sheet.handle, ID_WIZNEXT));
    Window* finish = desktop.window(GetDlgItem(sheet.handle, ID_WIZFINISH));
    const bool finishShown = (flags & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) != 0;
    if (next) {
        next->visible = !finishShown;
        next->enabled = (flags & PSWIZB_NEXT) != 0;
    }
    if (finish) {
        finish->visible = finishShown;
        finish->enabled = (flags & PSWIZB_FINISH) != 0;
    }
}

void UpdateApply(Desktop& desktop, Window& sheet) {
    if (Window* apply = desktop.window(GetDlgItem(sheet.handle, ID_APPLY_NOW)))
        apply->enabled = S(sheet).changed;
}

// Shows page `index`, making it on its first showing.
void Activate(Desktop& desktop, Window& sheet, int index) {
    SheetState& s = S(sheet);
    if (index < 0 || index >= static_cast<int>(s.pages.size()))
        return;
    for (HWND page : s.pageWindows)
        if (Window* p = desktop.window(page))
            p->visible = false;
    if (!s.pageWindows[index]) {
        const PROPSHEETPAGEA& psp = s.pages[index];
        Module* module = desktop.moduleOf(psp.hInstance);
        const DialogTemplate* tmpl = module && module->resources && IS_INTRESOURCE(psp.pszTemplate)
                                         ? module->resources->dialog(LOWORD(psp.pszTemplate))
                                         : nullptr;
        if (!tmpl)
            return;
        HWND page = CreateDialogFromTemplate(desktop, psp.hInstance, *tmpl, sheet.handle, psp.pfnDlgProc,
                                             reinterpret_cast<LPARAM>(&s.pages[index]), true);
        // The pages sit in the sheet below its tab (or at the top of a wizard).
        if (Window* p = desktop.window(page)) {
            int dx = kMargin, dy = s.wizard ? kMargin : kMargin + kTabHeight;
            p->dialogUnits = RECT{dx, dy, dx + tmpl->cx, dy + tmpl->cy};
            p->rect = RECT{DialogUnitsToPixelsX(dx), DialogUnitsToPixelsY(dy),
                           DialogUnitsToPixelsX(dx + tmpl->cx), DialogUnitsToPixelsY(dy + tmpl->cy)};
        }
        s.pageWindows[index] = page;
    }
    s.current = index;
    if (Window* tab = desktop.window(GetDlgItem(sheet.handle, IDC_TABCONTROL)); tab && tab->list)
        tab->list->selection = index;
    if (Window* p = desktop.window(s.pageWindows[index]))
        p->visible = true;
    NotifyPage(desktop, sheet, index, PSN_SETACTIVE);
}

// The current page lets the user leave it (PSN_KILLACTIVE answered FALSE).
bool LeaveCurrent(Desktop& desktop, Window& sheet) {
    return S(sheet).current < 0 || NotifyPage(desktop, sheet, S(sheet).current, PSN_KILLACTIVE) == FALSE;
}

// Every page made so far applies its changes, in order; a page that refuses is shown and the rest wait.
bool ApplyAll(Desktop& desktop, Window& sheet, bool closing) {
    SheetState& s = S(sheet);
    for (size_t i = 0; i < s.pageWindows.size(); ++i) {
        if (!s.pageWindows[i])
            continue;
        LRESULT r = NotifyPage(desktop, sheet, static_cast<int>(i), PSN_APPLY, closing ? TRUE : FALSE);
        if (r == PSNRET_INVALID_NOCHANGEPAGE || r == PSNRET_INVALID) {
            if (r == PSNRET_INVALID_NOCHANGEPAGE)
                Activate(desktop, sheet, static_cast<int>(i));
            return false;
        }
    }
    s.changed = false;
    UpdateApply(desktop, sheet);
    return true;
}

void End(Window& sheet, INT_PTR result) {
    S(sheet).ended = true;
    S(sheet).result = result;
    sheet.visible = false;
}

// A wizard moves by the page's answer: -1 stays, 0 takes the neighbour, anything else names a page.
void Move(Desktop& desktop, Window& sheet, LRESULT answer, int neighbour) {
    SheetState& s = S(sheet);
    if (answer == -1)
        return;
    int target = neighbour;
    if (answer != 0)
        for (size_t i = 0; i < s.pages.size(); ++i)
            if (IS_INTRESOURCE(s.pages[i].pszTemplate) && LOWORD(s.pages[i].pszTemplate) == answer)
                target = static_cast<int>(i);
    if (target >= 0 && target < static_cast<int>(s.pages.size()))
        Activate(desktop, sheet, target);
}

void Press(Desktop& desktop, Window& sheet, int button) {
    SheetState& s = S(sheet);
    switch (button) {
    case IDOK:
        if (LeaveCurrent(desktop, sheet) && ApplyAll(desktop, sheet, true))
            End(sheet, 1);
        break;
    case ID_APPLY_NOW:
        if (LeaveCurrent(desktop, sheet))
            ApplyAll(desktop, sheet, false);
        break;
    case IDCANCEL:
        if (s.current >= 0 && NotifyPage(desktop, sheet, s.current, PSN_QUERYCANCEL) != FALSE)
            break;
        for (size_t i = 0; i < s.pageWindows.size(); ++i)
            NotifyPage(desktop, sheet, static_cast<int>(i), PSN_RESET);
        End(sheet, 0);
        break;
    case ID_WIZBACK:
        Move(desktop, sheet, NotifyPage(desktop, sheet, s.current, PSN_WIZBACK), s.current - 1);
        break;
    case ID_WIZNEXT:
        Move(desktop, sheet, NotifyPage(desktop, sheet, s.current, PSN_WIZNEXT), s.current + 1);
        break;
    case ID_WIZFINISH:
        if (NotifyPage(desktop, sheet, s.current, PSN_WIZFINISH) == FALSE)
            End(sheet, 1);
        break;
    default:
        break;
    }
}

} // namespace

LRESULT SheetWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Desktop& desktop = Desktop::require("the property sheet");
    Window* w = desktop.window(hwnd);
    if (!w || !w->sheet)
        return 0;
    SheetState& s = *w->sheet;
    switch (msg) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            Press(desktop, *w, LOWORD(wParam));
        return 0;
    case PSM_CHANGED:
        s.changed = true;
        UpdateApply(desktop, *w);
        return 0;
    case PSM_UNCHANGED:
        s.changed = false;
        UpdateApply(desktop, *w);
        return 0;
    case PSM_SETWIZBUTTONS:
        s.wizardButtons = static_cast<DWORD>(lParam);
        UpdateWizardButtons(desktop, *w);
        return 0;
    case PSM_PRESSBUTTON: {
        static const int kButtons[] = {ID_WIZBACK, ID_WIZNEXT, ID_WIZFINISH, IDOK, ID_APPLY_NOW, IDCANCEL};
        if (wParam < std::size(kButtons))
            Press(desktop, *w, kButtons[wParam]);
        return 0;
    }
    case PSM_SETCURSEL: {
        int index = static_cast<int>(wParam);
        if (LeaveCurrent(desktop, *w))
            Activate(desktop, *w, index);
        return TRUE;
    }
    case PSM_GETCURRENTPAGEHWND:
        return s.current >= 0 ? reinterpret_cast<LRESULT>(s.pageWindows[s.current]) : 0;
    case PSM_CANCELTOCLOSE:
        if (Window* cancel = desktop.window(GetDlgItem(hwnd, IDCANCEL)))
            cancel->enabled = false;
        if (Window* ok = desktop.window(GetDlgItem(hwnd, IDOK)))
            ok->text = "Close";
        return 0;
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        return TRUE;
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
        return ControlProc(hwnd, msg, wParam, lParam);
    case WM_CLOSE:
        Press(desktop, *w, IDCANCEL);
        return 0;
    default:
        return 0;
    }
}

// Selects page `index` as a click on its tab does.
void SelectSheetPage(Desktop& desktop, HWND sheet, int index) {
    Window* w = desktop.window(sheet);
    if (w && w->sheet && index != w->sheet->current && LeaveCurrent(desktop, *w))
        Activate(desktop, *w, index);
}

namespace {

// The title a page's tab shows: the page's own, or its template's caption.
std::string PageTitle(const PROPSHEETPAGEA& psp, const DialogTemplate* tmpl) {
    if (psp.dwFlags & PSP_USETITLE && psp.pszTitle && !IS_INTRESOURCE(psp.pszTitle))
        return psp.pszTitle;
    return tmpl ? tmpl->caption : "";
}

const DialogTemplate* PageTemplate(Desktop& desktop, const PROPSHEETPAGEA& psp) {
    Module* module = desktop.moduleOf(psp.hInstance);
    return module && module->resources && IS_INTRESOURCE(psp.pszTemplate)
               ? module->resources->dialog(LOWORD(psp.pszTemplate))
               : nullptr;
}

// The sheet's buttons along its bottom edge, right-aligned.
void AddButtons(Desktop& desktop, Window& sheet, int width, int top, bool apply) {
    const int step = kButtonWidth + 5;
    if (S(sheet).wizard) {
        int x = width - kMargin - 3 * step - kButtonWidth;
        AddButton(desktop, sheet.handle, ID_WIZBACK, "< &Back", x, top, true);
        AddButton(desktop, sheet.handle, ID_WIZNEXT, "&Next >", x + step, top, true);
        AddButton(desktop, sheet.handle, ID_WIZFINISH, "Finish", x + step, top, false);
        AddButton(desktop, sheet.handle, IDCANCEL, "Cancel", x + 2 * step + 5, top, true);
        return;
    }
    int x = width - kMargin - (apply ? 2 : 1) * step - kButtonWidth;
    AddButton(desktop, sheet.handle, IDOK, "OK", x, top, true);
    AddButton(desktop, sheet.handle, IDCANCEL, "Cancel", x + step, top, true);
    if (apply)
        AddButton(desktop, sheet.handle, ID_APPLY_NOW, "&Apply", x + 2 * step, top, true);
}

} // namespace

INT_PTR RunPropertySheet(Desktop& desktop, const PROPSHEETHEADERA& header) {
    auto w = std::make_unique<Window>();
    w->className = "#32770";
    w->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    w->owner = header.hwndParent;
    w->visible = false;
    w->proc = SheetWindowProc;
    w->sheet.emplace();
    SheetState& s = *w->sheet;
    s.wizard = (header.dwFlags & PSH_WIZARD) != 0;
    std::string caption = header.pszCaption && !IS_INTRESOURCE(header.pszCaption) ? header.pszCaption : "";
    // Windows puts "Properties for" before the caption when asked to (PSH_PROPTITLE).
    w->text = (header.dwFlags & PSH_PROPTITLE) ? "Properties for " + caption : caption;
    for (UINT i = 0; i < header.nPages; ++i)
        s.pages.push_back((header.dwFlags & PSH_PROPSHEETPAGE)
                              ? header.ppsp[i]
                              : *reinterpret_cast<const PROPSHEETPAGEA*>(header.phpage[i]));
    s.pageWindows.assign(s.pages.size(), nullptr);

    // The sheet is as large as its largest page.
    int cx = 0, cy = 0;
    std::vector<std::string> titles;
    for (const auto& psp : s.pages) {
        const DialogTemplate* tmpl = PageTemplate(desktop, psp);
        cx = std::max<int>(cx, tmpl ? tmpl->cx : 0);
        cy = std::max<int>(cy, tmpl ? tmpl->cy : 0);
        titles.push_back(PageTitle(psp, tmpl));
    }
    const int pagesTop = s.wizard ? kMargin : kMargin + kTabHeight;
    const int buttonsTop = pagesTop + cy + kMargin;
    const int width = cx + 2 * kMargin;
    const int height = buttonsTop + kButtonHeight + kMargin;
    w->dialogUnits = RECT{0, 0, width, height};
    w->rect = RECT{0, 0, DialogUnitsToPixelsX(width), DialogUnitsToPixelsY(height)};
    HWND hwnd = desktop.add(std::move(w));

    if (!s.wizard) {
        ControlTemplate tab{WC_TABCONTROLA,
                            "",
                            0,
                            IDC_TABCONTROL,
                            WS_CHILD | WS_VISIBLE,
                            0,
                            kMargin,
                            kMargin,
                            static_cast<short>(cx),
                            static_cast<short>(cy + kTabHeight)};
        if (Window* t = desktop.window(CreateControl(desktop, hwnd, tab, nullptr))) {
            t->list.emplace();
            for (const auto& title : titles)
                t->list->items.push_back(ListItem{title, 0});
        }
    }
    Window* sheet = desktop.window(hwnd);
    AddButtons(desktop, *sheet, width, buttonsTop, !(header.dwFlags & PSH_NOAPPLYNOW));
    if (s.wizard)
        UpdateWizardButtons(desktop, *sheet);
    else
        UpdateApply(desktop, *sheet);
    Activate(desktop, *sheet, static_cast<int>(header.nStartPage < s.pages.size() ? header.nStartPage : 0));
    RunModalLoop(desktop, hwnd, [&] {
        Window* current = desktop.window(hwnd);
        return !current || current->sheet->ended;
    });
    sheet = desktop.window(hwnd);
    INT_PTR result = sheet ? sheet->sheet->result : -1;
    desktop.destroy(hwnd);
    return result;
}

} // namespace win32

using win32::Desktop;

HPROPSHEETPAGE CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer) {
    return reinterpret_cast<HPROPSHEETPAGE>(new PROPSHEETPAGEA(*constPropSheetPagePointer));
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page) {
    auto* psp = reinterpret_cast<PROPSHEETPAGEA*>(page);
    if (!psp)
        return FALSE;
    // The page's owner lets go of what it keeps for the page.
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback)
        psp->pfnCallback(nullptr, PSPCB_RELEASE, psp);
    delete psp;
    return TRUE;
}

INT_PTR PropertySheetA(LPCPROPSHEETHEADERA header) {
    Desktop& desktop = Desktop::require("PropertySheet");
    // The pages made with CreatePropertySheetPage belong to the sheet once it has them, also when the
    // program goes away while the sheet is up.
    struct PagesOfSheet {
        LPCPROPSHEETHEADERA header;
        ~PagesOfSheet() {
            if (!(header->dwFlags & PSH_PROPSHEETPAGE))
                for (UINT i = 0; i < header->nPages; ++i)
                    DestroyPropertySheetPage(header->phpage[i]);
        }
    } pages{header};
    return win32::RunPropertySheet(desktop, *header);
}
