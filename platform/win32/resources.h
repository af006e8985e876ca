// A program's resources as the resource compiler (tools/rc) emits them from its .rc script: dialog
// templates in dialog units, string tables, icons and bitmaps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win32 {

struct ControlTemplate {
    const char* className; // "BUTTON", "STATIC", "EDIT", "COMBOBOX", "LISTBOX" or a common control class
    const char* text;      // the control's text, or the icon's name for an icon given by name
    int imageId;           // an icon or bitmap given by number (ICON 128, ...), else 0
    int id;
    uint32_t style, exStyle;
    short x, y, cx, cy; // dialog units
};

struct DialogTemplate {
    int id;
    const char* caption;
    uint32_t style, exStyle;
    short x, y, cx, cy; // dialog units
    const char* font;
    int pointSize;
    const ControlTemplate* controls;
    size_t controlCount;
};

struct StringResource {
    int id;
    const char* text;
};

enum class ImageKind { Icon, Bitmap };

struct ImageResource {
    int id;
    ImageKind kind;
    const char* file; // as the script names it
    const unsigned char* data;
    size_t size;
};

struct ModuleResources {
    const char* name; // the program file, e.g. "CvPci.cpl"
    const DialogTemplate* dialogs;
    size_t dialogCount;
    const StringResource* strings;
    size_t stringCount;
    const ImageResource* images;
    size_t imageCount;

    const DialogTemplate* dialog(int id) const;
    const char* string(int id) const;
    const ImageResource* image(int id) const;
};

} // namespace win32
