// The system's controls: buttons (push buttons, check boxes, radio buttons, group boxes), static texts
// and icons, edit fields, list boxes, combo boxes, report list views, sliders and progress bars, each
// answering the messages a program sends it.
#include "platform/win32/window.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace win32 {

namespace {

// Widths in pixels of the printable ASCII characters in MS Sans Serif 8 (from ' ' to '~').
constexpr unsigned char kCharWidths[95] = {
    3,  3, 4, 6, 6, 9, 7, 2,  3, 3, 4, 6, 3, 3, 3, 3, // ' ' to '/'
    6,  6, 6, 6, 6, 6, 6, 6,  6, 6, 3, 3, 6, 6, 6, 6, // '0' to '?'
    11, 7, 7, 8, 8, 7, 6, 8,  8, 3, 5, 7, 6, 9, 8, 8, // '@' to 'O'
    7,  8, 8, 7, 7, 8, 7, 11, 7, 7, 7, 3, 3, 3, 6, 6, // 'P' to '_'
    3,  6, 6, 5, 6, 6, 3, 6,  6, 2, 2, 5, 2, 8, 6, 6, // '`' to 'o'
    6,  6, 4, 5, 3, 6, 5, 8,  5, 5, 5, 4, 2, 4, 7,    // 'p' to '~'
};

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper((unsigned char)text[i]) != std::toupper((unsigned char)prefix[i]))
            return false;
    return true;
}

// Copies a text into a caller's buffer of `size` characters (terminator included); the count copied.
int CopyText(const std::string& text, char* buffer, size_t size) {
    if (!buffer || size == 0)
        return 0;
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// Where an item goes in a sorted list: after every item that compares lower or equal, without case.
size_t SortedPosition(const std::vector<ListItem>& items, const std::string& text) {
    std::string key = Upper(text);
    size_t at = 0;
    while (at < items.size() && Upper(items[at].text) <= key)
        ++at;
    return at;
}

LRESULT ListMessage(Window& w, UINT msg, WPARAM wParam, LPARAM lParam, bool combo) {
    ListState& s = *w.list;
    const bool sorted = combo ? (w.style & CBS_SORT) != 0 : (w.style & LBS_SORT) != 0;
    const int kErr = combo ? CB_ERR : LB_ERR;
    auto valid = [&](WPARAM i) { return static_cast<size_t>(i) < s.items.size(); };
    auto find = [&](WPARAM start, LPARAM text, bool exact) -> LRESULT {
        std::string wanted = reinterpret_cast<const char*>(text);
        size_t n = s.items.size();
        size_t first = static_cast<int>(start) < 0 ? 0 : static_cast<size_t>(start) + 1;
        for (size_t k = 0; k < n; ++k) {
            size_t i = (first + k) % n;
            bool match =
                exact ? Upper(s.items[i].text) == Upper(wanted) : StartsWithNoCase(s.items[i].text, wanted);
            if (match)
                return static_cast<LRESULT>(i);
        }
        return kErr;
    };
    // The messages of list boxes and combo boxes that mean the same thing.
    switch (combo ? msg : msg + 0x1000) {
    case CB_ADDSTRING:
    case LB_ADDSTRING + 0x1000: {
        std::string text = reinterpret_cast<const char*>(lParam);
        size_t at = sorted ? SortedPosition(s.items, text) : s.items.size();
        s.items.insert(s.items.begin() + static_cast<long>(at), ListItem{text, 0});
        if (s.selection >= static_cast<int>(at))
            ++s.selection;
        return static_cast<LRESULT>(at);
    }
    case CB_INSERTSTRING:
    case LB_INSERTSTRING + 0x1000: {
        size_t at = static_cast<int>(wParam) < 0 || wParam > s.items.size() ? s.items.size() : wParam;
        s.items.insert(s.items.begin() + static_cast<long>(at),
                       ListItem{reinterpret_cast<const char*>(lParam), 0});
        if (s.selection >= static_cast<int>(at))
            ++s.selection;
        return static_cast<LRESULT>(at);
    }
    case CB_DELETESTRING:
    case LB_DELETESTRING + 0x1000:
        if (!valid(wParam))
            return kErr;
        s.items.erase(s.items.begin() + static_cast<long>(wParam));
        if (s.selection == static_cast<int>(wParam))
            s.selection = -1;
        else if (s.selection > static_cast<int>(wParam))
            --s.selection;
        return static_cast<LRESULT>(s.items.size());
    case CB_RESETCONTENT:
    case LB_RESETCONTENT + 0x1000:
        s.items.clear();
        s.selection = -1;
        return 0;
    case CB_GETCOUNT:
    case LB_GETCOUNT + 0x1000:
        return static_cast<LRESULT>(s.items.size());
    case CB_GETCURSEL:
    case LB_GETCURSEL + 0x1000:
        return s.selection;
    case CB_SETCURSEL:
    case LB_SETCURSEL + 0x1000:
        if (static_cast<int>(wParam) < 0 || !valid(wParam)) {
            s.selection = -1;
            return kErr;
        }
        s.selection = static_cast<int>(wParam);
        return s.selection;
    case CB_GETLBTEXT:
    case LB_GETTEXT + 0x1000:
        if (!valid(wParam))
            return kErr;
        std::strcpy(reinterpret_cast<char*>(lParam), s.items[wParam].text.c_str());
        return static_cast<LRESULT>(s.items[wParam].text.size());
    case CB_GETLBTEXTLEN:
    case LB_GETTEXTLEN + 0x1000:
        return valid(wParam) ? static_cast<LRESULT>(s.items[wParam].text.size()) : kErr;
    case CB_GETITEMDATA:
    case LB_GETITEMDATA + 0x1000:
        return valid(wParam) ? s.items[wParam].data : kErr;
    case CB_SETITEMDATA:
    case LB_SETITEMDATA + 0x1000:
        if (!valid(wParam))
            return kErr;
        s.items[wParam].data = lParam;
        return 0;
    case CB_FINDSTRING:
    case LB_FINDSTRING + 0x1000:
        return find(wParam, lParam, false);
    case CB_FINDSTRINGEXACT:
    case LB_FINDSTRINGEXACT + 0x1000:
        return find(wParam, lParam, true);
    case CB_SELECTSTRING:
    case LB_SELECTSTRING + 0x1000: {
        LRESULT at = find(wParam, lParam, false);
        if (at != kErr)
            s.selection = static_cast<int>(at);
        return at;
    }
    default:
        return 0;
    }
}

LRESULT ListViewMessage(Desktop& desktop, Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    ListViewState& s = *w.listView;
    auto valid = [&](int i) { return i >= 0 && static_cast<size_t>(i) < s.rows.size(); };
    switch (msg) {
    case LVM_SETIMAGELIST: {
        HIMAGELIST* slot = wParam == LVSIL_NORMAL  ? &s.normal
                           : wParam == LVSIL_SMALL ? &s.small
                                                   : &s.stateImages;
        HIMAGELIST previous = *slot;
        *slot = reinterpret_cast<HIMAGELIST>(lParam);
        return reinterpret_cast<LRESULT>(previous);
    }
    case LVM_GETIMAGELIST:
        return reinterpret_cast<LRESULT>(wParam == LVSIL_NORMAL  ? s.normal
                                         : wParam == LVSIL_SMALL ? s.small
                                                                 : s.stateImages);
    case LVM_GETITEMCOUNT:
        return static_cast<LRESULT>(s.rows.size());
    case LVM_INSERTCOLUMNA: {
        auto* c = reinterpret_cast<const LVCOLUMNA*>(lParam);
        ListViewState::Column column;
        if (c->mask & LVCF_TEXT && c->pszText)
            column.header = c->pszText;
        if (c->mask & LVCF_WIDTH)
            column.width = c->cx;
        if (c->mask & LVCF_FMT)
            column.format = c->fmt;
        size_t at = std::min<size_t>(wParam, s.columns.size());
        s.columns.insert(s.columns.begin() + static_cast<long>(at), column);
        for (auto& row : s.rows)
            row.texts.insert(row.texts.begin() + static_cast<long>(std::min(at, row.texts.size())),
                             std::string());
        return static_cast<LRESULT>(at);
    }
    case LVM_GETCOLUMNWIDTH:
        return wParam < s.columns.size() ? s.columns[wParam].width : 0;
    case LVM_SETCOLUMNWIDTH: {
        if (wParam >= s.columns.size())
            return FALSE;
        int width = static_cast<int>(lParam);
        if (width == LVSCW_AUTOSIZE || width == LVSCW_AUTOSIZE_USEHEADER) {
            // The widest text of the column, with the margins the control keeps, and the image of the
            // first column; with the header counted when asked.
            int widest = 0;
            for (const auto& row : s.rows)
                if (wParam < row.texts.size())
                    widest = std::max(widest, TextWidth(row.texts[wParam]));
            widest += 12;
            if (wParam == 0 && s.small)
                if (ImageList* list = desktop.imageList(s.small))
                    widest += list->cx + 2;
            if (width == LVSCW_AUTOSIZE_USEHEADER)
                widest = std::max(widest, TextWidth(s.columns[wParam].header) + 12);
            width = widest;
        }
        s.columns[wParam].width = width;
        return TRUE;
    }
    case LVM_GETSTRINGWIDTHA:
        return TextWidth(reinterpret_cast<const char*>(lParam));
    case LVM_INSERTITEMA: {
        auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        ListViewState::Row row;
        row.texts.assign(std::max<size_t>(1, s.columns.size()), std::string());
        if (item->mask & LVIF_TEXT && item->pszText)
            row.texts[0] = item->pszText;
        if (item->mask & LVIF_IMAGE)
            row.image = item->iImage;
        if (item->mask & LVIF_PARAM)
            row.data = item->lParam;
        if (item->mask & LVIF_STATE)
            row.state = item->state & item->stateMask;
        size_t at = item->iItem < 0 ? s.rows.size() : std::min<size_t>(item->iItem, s.rows.size());
        s.rows.insert(s.rows.begin() + static_cast<long>(at), row);
        return static_cast<LRESULT>(at);
    }
    case LVM_SETITEMA:
    case LVM_SETITEMTEXTA: {
        auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        int index = msg == LVM_SETITEMTEXTA ? static_cast<int>(wParam) : item->iItem;
        if (!valid(index))
            return FALSE;
        auto& row = s.rows[index];
        if (msg == LVM_SETITEMTEXTA || item->mask & LVIF_TEXT) {
            if (static_cast<size_t>(item->iSubItem) >= row.texts.size())
                row.texts.resize(item->iSubItem + 1);
            row.texts[item->iSubItem] = item->pszText ? item->pszText : "";
        }
        if (msg == LVM_SETITEMA) {
            if (item->mask & LVIF_IMAGE)
                row.image = item->iImage;
            if (item->mask & LVIF_PARAM)
                row.data = item->lParam;
            if (item->mask & LVIF_STATE)
                row.state = (row.state & ~item->stateMask) | (item->state & item->stateMask);
        }
        return TRUE;
    }
    case LVM_GETITEMA: {
        auto* item = reinterpret_cast<LVITEMA*>(lParam);
        if (!valid(item->iItem))
            return FALSE;
        const auto& row = s.rows[item->iItem];
        if (item->mask & LVIF_TEXT) {
            std::string text =
                static_cast<size_t>(item->iSubItem) < row.texts.size() ? row.texts[item->iSubItem] : "";
            CopyText(text, item->pszText, static_cast<size_t>(std::max(0, item->cchTextMax)));
        }
        if (item->mask & LVIF_IMAGE)
            item->iImage = row.image;
        if (item->mask & LVIF_PARAM)
            item->lParam = row.data;
        if (item->mask & LVIF_STATE)
            item->state = row.state & item->stateMask;
        return TRUE;
    }
    case LVM_GETITEMTEXTA: {
        auto* item = reinterpret_cast<LVITEMA*>(lParam);
        if (!valid(static_cast<int>(wParam)))
            return 0;
        const auto& row = s.rows[wParam];
        std::string text =
            static_cast<size_t>(item->iSubItem) < row.texts.size() ? row.texts[item->iSubItem] : "";
        return CopyText(text, item->pszText, static_cast<size_t>(std::max(0, item->cchTextMax)));
    }
    case LVM_SETITEMSTATE: {
        auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        int index = static_cast<int>(wParam);
        auto apply = [&](ListViewState::Row& row) {
            row.state = (row.state & ~item->stateMask) | (item->state & item->stateMask);
        };
        if (index == -1) {
            for (auto& row : s.rows)
                apply(row);
            return TRUE;
        }
        if (!valid(index))
            return FALSE;
        if ((item->stateMask & LVIS_SELECTED) && (item->state & LVIS_SELECTED) && (w.style & LVS_SINGLESEL))
            for (auto& row : s.rows)
                row.state &= ~LVIS_SELECTED;
        apply(s.rows[index]);
        return TRUE;
    }
    case LVM_GETITEMSTATE:
        return valid(static_cast<int>(wParam)) ? s.rows[wParam].state & lParam : 0;
    case LVM_GETNEXTITEM: {
        int start = static_cast<int>(wParam);
        for (int i = start + 1; valid(i); ++i) {
            UINT flags = static_cast<UINT>(lParam);
            if (flags == LVNI_ALL || (s.rows[i].state & flags) == flags)
                return i;
        }
        return -1;
    }
    case LVM_GETSELECTEDCOUNT:
        return std::count_if(s.rows.begin(), s.rows.end(),
                             [](const ListViewState::Row& r) { return (r.state & LVIS_SELECTED) != 0; });
    case LVM_DELETEITEM:
        if (!valid(static_cast<int>(wParam)))
            return FALSE;
        s.rows.erase(s.rows.begin() + static_cast<long>(wParam));
        return TRUE;
    case LVM_DELETEALLITEMS:
        s.rows.clear();
        return TRUE;
    case LVM_ENSUREVISIBLE:
        return TRUE;
    default:
        return 0;
    }
}

} // namespace

int TextWidth(const std::string& text) {
    int width = 0;
    for (unsigned char c : text)
        width += c >= 32 && c < 127 ? kCharWidths[c - 32] : 6;
    return width;
}

std::string Window::kind() const {
    if (sheet)
        return "sheet";
    if (dialog)
        return "dialog";
    if (className == "BUTTON") {
        switch (buttonType()) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
            return "checkbox";
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return "radio";
        case BS_GROUPBOX:
            return "group";
        default:
            return "button";
        }
    }
    if (className == "STATIC")
        return (style & SS_TYPEMASK) == SS_ICON     ? "icon"
               : (style & SS_TYPEMASK) == SS_BITMAP ? "bitmap"
                                                    : "text";
    if (className == "EDIT")
        return "edit";
    if (className == "COMBOBOX")
        return "combo";
    if (className == "LISTBOX")
        return "list";
    if (className == Upper(WC_LISTVIEWA))
        return "listview";
    if (className == Upper(TRACKBAR_CLASSA))
        return "slider";
    if (className == Upper(PROGRESS_CLASSA))
        return "progress";
    if (className == Upper(WC_TABCONTROLA))
        return "tab";
    return "window";
}

LRESULT ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Desktop& desktop = Desktop::require("a control's window procedure");
    Window* w = desktop.window(hwnd);
    if (!w)
        return 0;
    switch (msg) {
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        if (w->edit)
            w->text = w->text.substr(0, static_cast<size_t>(w->edit->limit));
        desktop.noteChange(w->id, "\"" + w->text + "\"");
        return TRUE;
    case WM_GETTEXT:
        return CopyText(w->text, reinterpret_cast<char*>(lParam), wParam);
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    case WM_ENABLE:
    case WM_DESTROY:
    case WM_SETFONT:
        return 0;
    default:
        break;
    }
    if (w->button) {
        if (msg == BM_GETCHECK)
            return w->button->check;
        if (msg == BM_SETCHECK) {
            w->button->check = static_cast<UINT>(wParam);
            return 0;
        }
        if (msg == BM_CLICK) {
            NotifyCommand(desktop, *w, BN_CLICKED);
            return 0;
        }
    }
    if (w->list)
        return ListMessage(*w, msg, wParam, lParam, w->className == "COMBOBOX");
    if (w->edit && msg == EM_LIMITTEXT) {
        w->edit->limit = wParam ? static_cast<int>(wParam) : 30000;
        return 0;
    }
    if (w->listView)
        return ListViewMessage(desktop, *w, msg, wParam, lParam);
    if (w->range) {
        RangeState& r = *w->range;
        const bool slider = w->className == Upper(TRACKBAR_CLASSA);
        switch (slider ? msg : msg + 0x2000) {
        case TBM_GETPOS:
            return r.pos;
        case TBM_GETRANGEMIN:
            return r.min;
        case TBM_GETRANGEMAX:
            return r.max;
        case TBM_SETPOS:
            r.pos = std::clamp(static_cast<int>(lParam), r.min, r.max);
            return 0;
        case TBM_SETRANGE:
            r.min = LOWORD(lParam);
            r.max = HIWORD(lParam);
            r.pos = std::clamp(r.pos, r.min, r.max);
            return 0;
        case TBM_SETRANGEMIN:
            r.min = static_cast<int>(lParam);
            return 0;
        case TBM_SETRANGEMAX:
            r.max = static_cast<int>(lParam);
            return 0;
        case PBM_SETRANGE + 0x2000: {
            LRESULT previous = MAKELONG(r.min, r.max);
            r.min = LOWORD(lParam);
            r.max = HIWORD(lParam);
            desktop.noteChange(w->id, "range " + std::to_string(r.min) + ".." + std::to_string(r.max));
            return previous;
        }
        case PBM_SETRANGE32 + 0x2000:
            r.min = static_cast<int>(wParam);
            r.max = static_cast<int>(lParam);
            desktop.noteChange(w->id, "range " + std::to_string(r.min) + ".." + std::to_string(r.max));
            return 0;
        case PBM_SETPOS + 0x2000: {
            int previous = r.pos;
            r.pos = std::clamp(static_cast<int>(wParam), r.min, r.max);
            desktop.noteChange(w->id, "position " + std::to_string(r.pos));
            return previous;
        }
        case PBM_DELTAPOS + 0x2000: {
            int previous = r.pos;
            r.pos = std::clamp(r.pos + static_cast<int>(wParam), r.min, r.max);
            return previous;
        }
        case PBM_GETPOS + 0x2000:
            return r.pos;
        default:
            return 0;
        }
    }
    if (w->staticState) {
        if (msg == STM_SETICON || (msg == STM_SETIMAGE && wParam == IMAGE_ICON)) {
            HICON previous = w->staticState->icon;
            w->staticState->icon = reinterpret_cast<HICON>(msg == STM_SETICON ? wParam : lParam);
            return reinterpret_cast<LRESULT>(previous);
        }
        if (msg == STM_SETIMAGE && wParam == IMAGE_BITMAP) {
            HBITMAP previous = w->staticState->bitmap;
            w->staticState->bitmap = reinterpret_cast<HBITMAP>(lParam);
            return reinterpret_cast<LRESULT>(previous);
        }
        if (msg == STM_GETICON)
            return reinterpret_cast<LRESULT>(w->staticState->icon);
    }
    return 0;
}

HWND CreateControl(Desktop& desktop, HWND dialog, const ControlTemplate& control, HINSTANCE module) {
    auto w = std::make_unique<Window>();
    w->className = Upper(control.className);
    // The predefined classes by atom name as the dialog manager knows them.
    if (w->className == "0X0080")
        w->className = "BUTTON";
    w->text = control.text;
    w->style = control.style;
    w->exStyle = control.exStyle;
    w->id = control.id;
    w->parent = dialog;
    w->visible = (control.style & WS_VISIBLE) != 0;
    w->enabled = (control.style & WS_DISABLED) == 0;
    w->dialogUnits = RECT{control.x, control.y, control.x + control.cx, control.y + control.cy};
    w->rect =
        RECT{DialogUnitsToPixelsX(control.x), DialogUnitsToPixelsY(control.y),
             DialogUnitsToPixelsX(control.x + control.cx), DialogUnitsToPixelsY(control.y + control.cy)};
    w->proc = ControlProc;
    if (w->className == "BUTTON")
        w->button.emplace();
    else if (w->className == "COMBOBOX" || w->className == "LISTBOX")
        w->list.emplace();
    else if (w->className == "EDIT")
        w->edit.emplace();
    else if (w->className == Upper(WC_LISTVIEWA))
        w->listView.emplace();
    else if (w->className == Upper(TRACKBAR_CLASSA) || w->className == Upper(PROGRESS_CLASSA))
        w->range.emplace();
    else if (w->className == "STATIC") {
        w->staticState.emplace();
        if ((control.style & SS_TYPEMASK) == SS_ICON && control.imageId)
            w->staticState->icon = LoadIconA(module, MAKEINTRESOURCE(control.imageId));
        if ((control.style & SS_TYPEMASK) == SS_ICON)
            w->text.clear();
    }
    return desktop.add(std::move(w));
}

void NotifyCommand(Desktop& desktop, Window& control, WORD code) {
    desktop.send(control.parent, WM_COMMAND, MAKEWPARAM(control.id, code),
                 reinterpret_cast<LPARAM>(control.handle));
}

LRESULT NotifyParent(Desktop& desktop, Window& control, NMHDR& header) {
    header.hwndFrom = control.handle;
    header.idFrom = static_cast<UINT_PTR>(control.id);
    return desktop.send(control.parent, WM_NOTIFY, static_cast<WPARAM>(control.id),
                        reinterpret_cast<LPARAM>(&header));
}

} // namespace win32
