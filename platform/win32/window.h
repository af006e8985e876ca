// Windows as the dialog layer keeps them: every window with its class, text, style, place and state, and
// the state of each kind of control, all readable from outside the program (a test, a scenario, a web
// page draws them).
#pragma once

#include "platform/win32/desktop.h"

#include <optional>
#include <string>
#include <vector>

namespace win32 {

// Pixels of the dialog font (MS Sans Serif 8): horizontal and vertical dialog base units.
inline constexpr int kBaseUnitX = 6;
inline constexpr int kBaseUnitY = 13;
inline int DialogUnitsToPixelsX(int du) {
    return du * kBaseUnitX / 4;
}
inline int DialogUnitsToPixelsY(int du) {
    return du * kBaseUnitY / 8;
}
// The width in pixels of a text in the dialog font.
int TextWidth(const std::string& text);

struct ImageList {
    int cx = 16, cy = 16;
    struct Image {
        int module = 0; // the bitmap's resource id and the strip index of the image in it
        int index = 0;
        HBITMAP bitmap = nullptr;
    };
    std::vector<Image> images;
    COLORREF mask = 0;
};

struct ListItem {
    std::string text;
    LPARAM data = 0;
};

// The state a control keeps, by kind.
struct ButtonState {
    UINT check = BST_UNCHECKED;
};
struct ListState { // list boxes and combo boxes
    std::vector<ListItem> items;
    int selection = -1;
};
struct EditState {
    int limit = 30000;
};
struct ListViewState {
    struct Column {
        std::string header;
        int width = 0;
        int format = LVCFMT_LEFT;
    };
    struct Row {
        std::vector<std::string> texts; // one per column
        int image = -1;
        LPARAM data = 0;
        UINT state = 0;
    };
    std::vector<Column> columns;
    std::vector<Row> rows;
    HIMAGELIST normal = nullptr, small = nullptr, stateImages = nullptr;
};
struct RangeState { // sliders and progress bars
    int min = 0, max = 100, pos = 0;
};
struct StaticState {
    HICON icon = nullptr;
    HBITMAP bitmap = nullptr;
};

struct DialogState {
    DLGPROC proc = nullptr;
    LONG_PTR msgResult = 0;
    LONG_PTR user = 0;
    bool modal = false;
    bool ended = false;
    INT_PTR result = 0;
    int templateId = 0;
    HINSTANCE module = nullptr;
    HICON bigIcon = nullptr, smallIcon = nullptr;
};

// A property sheet or wizard: its pages (created when first shown), the current one and its buttons.
struct SheetState {
    bool wizard = false;
    std::vector<PROPSHEETPAGEA> pages;
    std::vector<HWND> pageWindows; // null until the page is first shown
    int current = -1;
    DWORD wizardButtons = PSWIZB_NEXT;
    bool changed = false; // Apply enabled
    bool ended = false;
    INT_PTR result = 0;
};

struct Window {
    HWND handle = nullptr;
    std::string className; // upper case for the system classes: "#32770", "BUTTON", "STATIC", ...
    std::string text;
    DWORD style = 0, exStyle = 0;
    int id = 0;
    HWND parent = nullptr;
    HWND owner = nullptr; // top-level windows: the window they belong to
    std::vector<HWND> children;
    RECT rect{};        // pixels, in the parent's client area (top-level: on the screen)
    RECT dialogUnits{}; // as the template placed it
    bool enabled = true, visible = true;
    LONG_PTR userData = 0;
    int thread = 0; // the user-interface thread whose messages it gets
    WNDPROC proc = nullptr;

    std::optional<ButtonState> button;
    std::optional<ListState> list;
    std::optional<EditState> edit;
    std::optional<ListViewState> listView;
    std::optional<RangeState> range;
    std::optional<StaticState> staticState;
    std::optional<DialogState> dialog;
    std::optional<SheetState> sheet;

    // What kind of control it is, in plain words: "button", "checkbox", "radio", "group", "text",
    // "icon", "edit", "combo", "list", "listview", "slider", "progress", "tab", "dialog", "sheet".
    std::string kind() const;
    DWORD buttonType() const { return style & BS_TYPEMASK; }
};

// Icons and bitmaps are named by their module and resource number: the instance handle (a multiple of
// 0x10000) plus the number, bitmaps above 0x8000.
inline constexpr uintptr_t kBitmapFlag = 0x8000;
// The resource an icon or bitmap handle names, or null.
const ImageResource* ImageOf(Desktop& desktop, uintptr_t handle, ImageKind kind);

// The window procedures of the system classes and of dialogs.
LRESULT ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DialogWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SheetWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates a control of a template in a dialog.
HWND CreateControl(Desktop& desktop, HWND dialog, const ControlTemplate& control, HINSTANCE module);
// Creates a dialog from its template (hidden until shown), its controls in it; sends WM_INITDIALOG.
HWND CreateDialogFromTemplate(Desktop& desktop, HINSTANCE module, const DialogTemplate& tmpl, HWND parent,
                              DLGPROC proc, LPARAM param, bool child);
// Runs the modal loop of a dialog or sheet until it ends; the owner is disabled meanwhile.
void RunModalLoop(Desktop& desktop, HWND window, const std::function<bool()>& ended);

// Runs a property sheet or wizard modally; its result (1 for OK or Finish, 0 for Cancel).
INT_PTR RunPropertySheet(Desktop& desktop, const PROPSHEETHEADERA& header);
// Selects a sheet's page as a click on its tab does.
void SelectSheetPage(Desktop& desktop, HWND sheet, int index);

// Notifications a control sends its parent.
void NotifyCommand(Desktop& desktop, Window& control, WORD code);
LRESULT NotifyParent(Desktop& desktop, Window& control, NMHDR& header);

} // namespace win32
