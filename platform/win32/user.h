// What a person does with a program's windows, for tests, scenarios and the web page: read the active
// window as text, and click, choose, type, slide, select rows and tabs. Each action checks first what a
// person would see (the control there, visible and enabled), then is delivered on the program's thread
// as the input would be, and the program runs until it waits again.
#pragma once

#include "platform/win32/desktop.h"

#include <functional>
#include <string>

namespace win32 {

class User {
public:
    explicit User(Desktop& desktop) : desktop_(desktop) {}

    // The active window: its caption, then one line per control (id, kind, text and state); for a
    // property sheet its tabs, the current page's controls and the sheet's buttons.
    std::string describe() const;
    // The active window's caption ("" when there is none).
    std::string activeCaption() const;

    // A control of the active window (the current page of a sheet first) by its id ("1007") or its text
    // ("&Settings..." or "Settings...") or its handle ("hwnd:N"); null with `error` set when there is none.
    Window* find(const std::string& control, std::string& error) const;

    bool click(const std::string& control, std::string& error);
    // The command a button sends when clicked, sent even when it is hidden or disabled: what a test tool
    // does to reach a command a person cannot.
    bool command(const std::string& control, std::string& error);
    // A combo box's or list box's item by its text, its start (without case) or "#N" (from 0).
    bool choose(const std::string& control, const std::string& item, std::string& error);
    bool type(const std::string& control, const std::string& text, std::string& error);
    bool slide(const std::string& control, int position, std::string& error);
    // A list view's row (from 0); with `open` the double click that opens it.
    bool selectRow(const std::string& control, int row, bool open, std::string& error);
    // A key pressed in a list view (the virtual key code).
    bool key(const std::string& control, WORD virtualKey, std::string& error);
    // A property sheet's page by its tab's title or "#N".
    bool selectTab(const std::string& tab, std::string& error);
    // The active window's close box.
    bool close(std::string& error);
    // Brings the newest open window with this caption to the front, as a click on it does.
    bool activate(const std::string& caption, std::string& error);
    // F1 on a control: the help its dialog gives for it.
    bool help(const std::string& control, std::string& error);

private:
    bool usable(Window* w, std::string& error) const;
    // The control a person means, when it is there, visible, enabled and `fits` the action (else `error`
    // says it is not `kind`).
    Window* target(const std::string& control, bool (*fits)(const Window&), const char* kind,
                   std::string& error) const;
    // Delivers an action on a control as input reaches the program; skipped if the control went away.
    bool deliver(HWND handle, std::function<void(Window&)> action);
    Desktop& desktop_;
};

} // namespace win32
