#include "platform/win32/user.h"

#include "platform/win32/window.h"

#include <algorithm>
#include <cstdio>

namespace win32 {

namespace {

std::string WithoutMnemonic(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size() && text[i + 1] != '&')
            continue;
        out += text[i];
    }
    return out;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : c == '"' ? std::string("\\\"") : std::string(1, c);
    return out;
}

// The window a person works in now: the active top-level window and, for a sheet, its current page.
struct Active {
    Window* top = nullptr;
    Window* page = nullptr;
};

Active ActiveOf(const Desktop& desktop) {
    Active a;
    a.top = desktop.activeWindow();
    if (a.top && a.top->sheet && a.top->sheet->current >= 0)
        a.page = desktop.window(a.top->sheet->pageWindows[a.top->sheet->current]);
    return a;
}

void DescribeControl(const Desktop& desktop, const Window& c, std::string& out) {
    char line[64];
    std::snprintf(line, sizeof line, "  %5d %-8s ", c.id, c.kind().c_str());
    out += line;
    out += "\"" + Escaped(c.text) + "\"";
    if (!c.visible)
        out += " hidden";
    if (!c.enabled)
        out += " disabled";
    if (c.button && c.kind() != "button" && c.kind() != "group")
        out += c.button->check == BST_CHECKED ? " checked" : " unchecked";
    if (c.staticState && c.staticState->icon)
        out += " icon=" + std::to_string(reinterpret_cast<uintptr_t>(c.staticState->icon) & 0xFFFF);
    if (c.range)
        out += " position=" + std::to_string(c.range->pos) + " range=" + std::to_string(c.range->min) + ".." +
               std::to_string(c.range->max);
    if (c.list) {
        out += " selected=";
        out += c.list->selection >= 0 ? "\"" + Escaped(c.list->items[c.list->selection].text) + "\"" : "none";
        out += " items=" + std::to_string(c.list->items.size());
    }
    out += "\n";
    if (c.listView) {
        std::string header = "        columns:";
        for (const auto& col : c.listView->columns)
            header += " [" + col.header + "]";
        out += header + "\n";
        for (size_t r = 0; r < c.listView->rows.size(); ++r) {
            const auto& row = c.listView->rows[r];
            std::string text = "        row " + std::to_string(r) + ":";
            for (const auto& t : row.texts)
                text += " [" + t + "]";
            text += " image=" + std::to_string(row.image) + " data=" + std::to_string(row.data);
            if (row.state & LVIS_SELECTED)
                text += " selected";
            out += text + "\n";
        }
    }
    (void)desktop;
}

} // namespace

std::string User::activeCaption() const {
    Window* w = desktop_.activeWindow();
    return w ? w->text : std::string();
}

std::string User::describe() const {
    Active a = ActiveOf(desktop_);
    if (!a.top)
        return "(no window)\n";
    std::string out(1, '"');
    out += Escaped(a.top->text) + '"';
    if (a.top->dialog)
        out += " dialog " + std::to_string(a.top->dialog->templateId);
    if (a.top->sheet)
        out += a.top->sheet->wizard ? " wizard" : " property sheet";
    out += "\n";
    if (a.page) {
        out += "  page \"" + Escaped(a.page->text) + "\" dialog " +
               std::to_string(a.page->dialog->templateId) + "\n";
        for (HWND h : a.page->children)
            if (Window* c = desktop_.window(h))
                DescribeControl(desktop_, *c, out);
    }
    for (HWND h : a.top->children) {
        Window* c = desktop_.window(h);
        if (!c || c->dialog)
            continue;
        if (c->kind() == "tab") {
            std::string tabs = "  tabs:";
            for (size_t i = 0; i < c->list->items.size(); ++i)
                tabs += std::string(" [") + (static_cast<int>(i) == c->list->selection ? "*" : "") +
                        c->list->items[i].text + "]";
            out += tabs + "\n";
            continue;
        }
        DescribeControl(desktop_, *c, out);
    }
    return out;
}

Window* User::find(const std::string& control, std::string& error) const {
    Active a = ActiveOf(desktop_);
    if (!a.top) {
        error = "no window is open";
        return nullptr;
    }
    if (control.rfind("hwnd:", 0) == 0) {
        // A control by its handle (the web page names what it drew): one of the active window's.
        const HWND handle = reinterpret_cast<HWND>(std::strtoull(control.c_str() + 5, nullptr, 10));
        for (Window* w = desktop_.window(handle); w; w = desktop_.window(w->parent))
            if (w == a.top && w->handle != handle)
                return desktop_.window(handle);
        error = "\"" + a.top->text + "\" has no such control (it went away)";
        return nullptr;
    }
    char* end = nullptr;
    long id = std::strtol(control.c_str(), &end, 10);
    const bool byId = !control.empty() && *end == '\0';
    auto search = [&](Window* parent) -> Window* {
        if (!parent)
            return nullptr;
        for (HWND h : parent->children) {
            Window* c = desktop_.window(h);
            if (!c || c->dialog)
                continue;
            if (byId ? c->id == id
                     : (c->text == control || WithoutMnemonic(c->text) == WithoutMnemonic(control)))
                return c;
        }
        return nullptr;
    };
    Window* found = search(a.page);
    if (!found)
        found = search(a.top);
    if (!found)
        error = "\"" + a.top->text + "\" has no control " + control;
    return found;
}

bool User::usable(Window* w, std::string& error) const {
    if (!w)
        return false;
    if (!w->visible) {
        error = "control " + std::to_string(w->id) + " is hidden";
        return false;
    }
    if (!w->enabled) {
        error = "control " + std::to_string(w->id) + " is disabled";
        return false;
    }
    return true;
}

Window* User::target(const std::string& control, bool (*fits)(const Window&), const char* kind,
                     std::string& error) const {
    Window* w = find(control, error);
    if (!usable(w, error))
        return nullptr;
    if (!fits(*w)) {
        error = "control " + std::to_string(w->id) + " is a " + w->kind() + ", not " + kind;
        return nullptr;
    }
    return w;
}

bool User::deliver(HWND handle, std::function<void(Window&)> action) {
    return desktop_.input(handle, [this, handle, action = std::move(action)] {
        if (Window* w = desktop_.window(handle))
            action(*w);
    });
}

bool User::click(const std::string& control, std::string& error) {
    Window* w = target(
        control, [](const Window& c) { return c.button.has_value(); }, "a button", error);
    if (!w)
        return false;
    const HWND handle = w->handle;
    return deliver(handle, [this, handle](Window& button) {
        Window* b = &button;
        switch (b->buttonType()) {
        case BS_AUTOCHECKBOX:
            b->button->check = b->button->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
            break;
        case BS_AUTORADIOBUTTON: {
            // Its group: from the last control with WS_GROUP up to it, to the next one with WS_GROUP.
            Window* parent = desktop_.window(b->parent);
            auto& siblings = parent->children;
            auto self = std::find(siblings.begin(), siblings.end(), handle);
            auto first = self;
            while (first != siblings.begin() && !(desktop_.window(*first)->style & WS_GROUP))
                --first;
            for (auto it = first; it != siblings.end(); ++it) {
                Window* s = desktop_.window(*it);
                if (it != first && (s->style & WS_GROUP))
                    break;
                if (s->button && s->buttonType() == BS_AUTORADIOBUTTON)
                    s->button->check = *it == handle ? BST_CHECKED : BST_UNCHECKED;
            }
            break;
        }
        default:
            break;
        }
        NotifyCommand(desktop_, *b, BN_CLICKED);
    });
}

bool User::command(const std::string& control, std::string& error) {
    Window* w = find(control, error);
    return w && deliver(w->handle, [this](Window& b) { NotifyCommand(desktop_, b, BN_CLICKED); });
}

bool User::choose(const std::string& control, const std::string& item, std::string& error) {
    Window* w = target(
        control,
        [](const Window& c) { return c.list && (c.className == "COMBOBOX" || c.className == "LISTBOX"); },
        "a list", error);
    if (!w)
        return false;
    int index = -1;
    if (item.size() > 1 && item[0] == '#') {
        index = std::atoi(item.c_str() + 1);
    } else {
        auto& items = w->list->items;
        for (size_t i = 0; i < items.size() && index < 0; ++i)
            if (items[i].text == item)
                index = static_cast<int>(i);
        for (size_t i = 0; i < items.size() && index < 0; ++i) {
            std::string a = items[i].text, b = item;
            std::transform(a.begin(), a.end(), a.begin(), ::toupper);
            std::transform(b.begin(), b.end(), b.begin(), ::toupper);
            if (a.rfind(b, 0) == 0)
                index = static_cast<int>(i);
        }
    }
    if (index < 0 || index >= static_cast<int>(w->list->items.size())) {
        error = "control " + std::to_string(w->id) + " has no item " + item;
        return false;
    }
    return deliver(w->handle, [this, index](Window& c) {
        c.list->selection = index;
        if (c.className == "COMBOBOX")
            NotifyCommand(desktop_, c, CBN_SELCHANGE);
        else if (c.style & LBS_NOTIFY)
            NotifyCommand(desktop_, c, LBN_SELCHANGE);
    });
}

bool User::type(const std::string& control, const std::string& text, std::string& error) {
    Window* w = target(
        control, [](const Window& c) { return c.edit && !(c.style & ES_READONLY); },
        "an edit field one can type in", error);
    if (!w)
        return false;
    return deliver(w->handle, [this, text](Window& c) {
        c.text = text.substr(0, static_cast<size_t>(c.edit->limit));
        NotifyCommand(desktop_, c, EN_UPDATE);
        NotifyCommand(desktop_, c, EN_CHANGE);
    });
}

bool User::slide(const std::string& control, int position, std::string& error) {
    Window* w = target(
        control, [](const Window& c) { return c.kind() == "slider"; }, "a slider", error);
    if (!w)
        return false;
    const HWND handle = w->handle;
    return deliver(handle, [this, handle, position](Window& slider) {
        Window* c = &slider;
        c->range->pos = std::clamp(position, c->range->min, c->range->max);
        const UINT message = (c->style & TBS_VERT) ? WM_VSCROLL : WM_HSCROLL;
        desktop_.send(c->parent, message, MAKEWPARAM(TB_THUMBPOSITION, c->range->pos),
                      reinterpret_cast<LPARAM>(handle));
        if (desktop_.window(handle))
            desktop_.send(c->parent, message, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(handle));
    });
}

// Moves a list view's selection and focus to `row`, telling the parent of each change as it happens.
// False when the list view went away meanwhile.
static bool MoveSelection(Desktop& desktop, HWND handle, int row) {
    Window* c = desktop.window(handle);
    for (size_t i = 0; c && i < c->listView->rows.size(); ++i) {
        auto& item = c->listView->rows[i];
        UINT wanted = static_cast<int>(i) == row ? (LVIS_SELECTED | LVIS_FOCUSED) : 0;
        UINT old = item.state & (LVIS_SELECTED | LVIS_FOCUSED);
        if (old == wanted)
            continue;
        item.state = (item.state & ~(LVIS_SELECTED | LVIS_FOCUSED)) | wanted;
        NMLISTVIEW change{};
        change.hdr.code = LVN_ITEMCHANGED;
        change.iItem = static_cast<int>(i);
        change.uNewState = wanted;
        change.uOldState = old;
        change.uChanged = LVIF_STATE;
        change.lParam = item.data;
        NotifyParent(desktop, *c, change.hdr);
        c = desktop.window(handle);
    }
    return c != nullptr;
}

bool User::selectRow(const std::string& control, int row, bool open, std::string& error) {
    Window* w = target(
        control, [](const Window& c) { return c.listView.has_value(); }, "a list view", error);
    if (!w)
        return false;
    if (row < 0 || row >= static_cast<int>(w->listView->rows.size())) {
        error = "control " + std::to_string(w->id) + " has no row " + std::to_string(row);
        return false;
    }
    const HWND handle = w->handle;
    return deliver(handle, [this, handle, row, open](Window&) {
        Window* c = nullptr;
        if (!MoveSelection(desktop_, handle, row) || !(c = desktop_.window(handle)))
            return;
        NMHDR click{};
        click.code = NM_CLICK;
        NotifyParent(desktop_, *c, click);
        if (open && (c = desktop_.window(handle))) {
            NMHDR twice{};
            twice.code = NM_DBLCLK;
            NotifyParent(desktop_, *c, twice);
        }
    });
}

bool User::key(const std::string& control, WORD virtualKey, std::string& error) {
    Window* w = target(
        control, [](const Window& c) { return c.listView.has_value(); }, "a list view", error);
    if (!w)
        return false;
    const HWND handle = w->handle;
    return deliver(handle, [this, handle, virtualKey](Window& list) {
        Window* c = &list;
        NMLVKEYDOWN down{};
        down.hdr.code = LVN_KEYDOWN;
        down.wVKey = virtualKey;
        NotifyParent(desktop_, *c, down.hdr);
        // The list view then moves its selection for the arrows, Home and End.
        if (!(c = desktop_.window(handle)) || c->listView->rows.empty())
            return;
        const auto& rows = c->listView->rows;
        const int last = static_cast<int>(rows.size()) - 1;
        int row = 0;
        while (row <= last && !(rows[static_cast<size_t>(row)].state & LVIS_FOCUSED))
            ++row;
        row = row > last ? 0 : row;
        switch (virtualKey) {
        case VK_UP:
            row = std::max(0, row - 1);
            break;
        case VK_DOWN:
            row = std::min(last, row + 1);
            break;
        case VK_HOME:
            row = 0;
            break;
        case VK_END:
            row = last;
            break;
        default:
            return;
        }
        MoveSelection(desktop_, handle, row);
    });
}

bool User::selectTab(const std::string& tab, std::string& error) {
    Window* top = desktop_.activeWindow();
    if (!top || !top->sheet || top->sheet->wizard) {
        error = "the active window is no property sheet";
        return false;
    }
    Window* t = nullptr;
    for (HWND child : top->children)
        if (Window* c = desktop_.window(child); c && c->id == IDC_TABCONTROL)
            t = c;
    int index = -1;
    if (tab.size() > 1 && tab[0] == '#')
        index = std::atoi(tab.c_str() + 1);
    else if (t)
        for (size_t i = 0; i < t->list->items.size(); ++i)
            if (WithoutMnemonic(t->list->items[i].text) == WithoutMnemonic(tab))
                index = static_cast<int>(i);
    if (index < 0 || index >= static_cast<int>(top->sheet->pages.size())) {
        error = "\"" + top->text + "\" has no page " + tab;
        return false;
    }
    HWND sheet = top->handle;
    return desktop_.input(sheet, [this, sheet, index] { SelectSheetPage(desktop_, sheet, index); });
}

bool User::close(std::string& error) {
    Window* top = desktop_.activeWindow();
    if (!top) {
        error = "no window is open";
        return false;
    }
    HWND handle = top->handle;
    return desktop_.input(handle, [this, handle] { desktop_.send(handle, WM_CLOSE, 0, 0); });
}

bool User::activate(const std::string& caption, std::string& error) {
    std::vector<Window*> windows = desktop_.topLevelWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if ((*it)->visible && WithoutMnemonic((*it)->text) == WithoutMnemonic(caption)) {
            if (!(*it)->enabled) {
                error = "\"" + caption + "\" is disabled (a dialog of its own is open)";
                return false;
            }
            desktop_.activate((*it)->handle);
            return true;
        }
    error = "no window \"" + caption + "\" is open";
    return false;
}

bool User::help(const std::string& control, std::string& error) {
    Window* w = find(control, error);
    if (!usable(w, error))
        return false;
    const HWND handle = w->handle;
    return deliver(handle, [this, handle](Window& c) {
        HELPINFO info{};
        info.cbSize = sizeof info;
        info.iContextType = HELPINFO_WINDOW;
        info.iCtrlId = c.id;
        info.hItemHandle = handle;
        // F1 reaches the dialog the control is in.
        desktop_.send(c.parent, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    });
}

} // namespace win32
