// cvrc: the resource compiler of the tools. Reads a Windows resource script (.rc text: dialogs in dialog
// units, string tables, icons and bitmaps by file) with the #define names of the headers it includes,
// and writes a C++ source holding the program's resources (platform/win32/resources.h).
//
//   cvrc --name CvPci.cpl --symbol CvPciResources [-I DIR]... INPUT.rc OUTPUT.cpp
#include "platform/win32/include/commctrl.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The style names a script may use, with the values of the Win32 headers.
#define NAME(n)                                                                                              \
    { #n, static_cast < uint32_t>(n) }
const std::map<std::string, uint32_t> kNames = {
    NAME(WS_OVERLAPPED),
    NAME(WS_POPUP),
    NAME(WS_CHILD),
    NAME(WS_MINIMIZE),
    NAME(WS_VISIBLE),
    NAME(WS_DISABLED),
    NAME(WS_CLIPSIBLINGS),
    NAME(WS_CLIPCHILDREN),
    NAME(WS_MAXIMIZE),
    NAME(WS_CAPTION),
    NAME(WS_BORDER),
    NAME(WS_DLGFRAME),
    NAME(WS_VSCROLL),
    NAME(WS_HSCROLL),
    NAME(WS_SYSMENU),
    NAME(WS_THICKFRAME),
    NAME(WS_GROUP),
    NAME(WS_TABSTOP),
    NAME(WS_MINIMIZEBOX),
    NAME(WS_MAXIMIZEBOX),
    NAME(WS_EX_DLGMODALFRAME),
    NAME(WS_EX_NOPARENTNOTIFY),
    NAME(WS_EX_TRANSPARENT),
    NAME(WS_EX_CLIENTEDGE),
    NAME(WS_EX_CONTEXTHELP),
    NAME(WS_EX_STATICEDGE),
    NAME(DS_ABSALIGN),
    NAME(DS_SYSMODAL),
    NAME(DS_3DLOOK),
    NAME(DS_FIXEDSYS),
    NAME(DS_NOFAILCREATE),
    NAME(DS_LOCALEDIT),
    NAME(DS_SETFONT),
    NAME(DS_MODALFRAME),
    NAME(DS_NOIDLEMSG),
    NAME(DS_SETFOREGROUND),
    NAME(DS_CONTROL),
    NAME(DS_CENTER),
    NAME(DS_CENTERMOUSE),
    NAME(DS_CONTEXTHELP),
    NAME(BS_PUSHBUTTON),
    NAME(BS_DEFPUSHBUTTON),
    NAME(BS_CHECKBOX),
    NAME(BS_AUTOCHECKBOX),
    NAME(BS_RADIOBUTTON),
    NAME(BS_3STATE),
    NAME(BS_AUTO3STATE),
    NAME(BS_GROUPBOX),
    NAME(BS_AUTORADIOBUTTON),
    NAME(BS_OWNERDRAW),
    NAME(BS_LEFTTEXT),
    NAME(BS_TEXT),
    NAME(BS_ICON),
    NAME(BS_BITMAP),
    NAME(BS_LEFT),
    NAME(BS_RIGHT),
    NAME(BS_CENTER),
    NAME(BS_TOP),
    NAME(BS_BOTTOM),
    NAME(BS_VCENTER),
    NAME(BS_MULTILINE),
    NAME(BS_NOTIFY),
    NAME(BS_FLAT),
    NAME(SS_LEFT),
    NAME(SS_CENTER),
    NAME(SS_RIGHT),
    NAME(SS_ICON),
    NAME(SS_BLACKRECT),
    NAME(SS_GRAYRECT),
    NAME(SS_WHITERECT),
    NAME(SS_BLACKFRAME),
    NAME(SS_GRAYFRAME),
    NAME(SS_WHITEFRAME),
    NAME(SS_SIMPLE),
    NAME(SS_LEFTNOWORDWRAP),
    NAME(SS_BITMAP),
    NAME(SS_ETCHEDHORZ),
    NAME(SS_ETCHEDVERT),
    NAME(SS_ETCHEDFRAME),
    NAME(SS_NOPREFIX),
    NAME(SS_NOTIFY),
    NAME(SS_CENTERIMAGE),
    NAME(SS_REALSIZEIMAGE),
    NAME(SS_SUNKEN),
    NAME(ES_LEFT),
    NAME(ES_CENTER),
    NAME(ES_RIGHT),
    NAME(ES_MULTILINE),
    NAME(ES_UPPERCASE),
    NAME(ES_LOWERCASE),
    NAME(ES_PASSWORD),
    NAME(ES_AUTOVSCROLL),
    NAME(ES_AUTOHSCROLL),
    NAME(ES_NOHIDESEL),
    NAME(ES_OEMCONVERT),
    NAME(ES_READONLY),
    NAME(ES_WANTRETURN),
    NAME(ES_NUMBER),
    NAME(CBS_SIMPLE),
    NAME(CBS_DROPDOWN),
    NAME(CBS_DROPDOWNLIST),
    NAME(CBS_OWNERDRAWFIXED),
    NAME(CBS_OWNERDRAWVARIABLE),
    NAME(CBS_AUTOHSCROLL),
    NAME(CBS_OEMCONVERT),
    NAME(CBS_SORT),
    NAME(CBS_HASSTRINGS),
    NAME(CBS_NOINTEGRALHEIGHT),
    NAME(CBS_DISABLENOSCROLL),
    NAME(LBS_NOTIFY),
    NAME(LBS_SORT),
    NAME(LBS_NOREDRAW),
    NAME(LBS_MULTIPLESEL),
    NAME(LBS_OWNERDRAWFIXED),
    NAME(LBS_HASSTRINGS),
    NAME(LBS_USETABSTOPS),
    NAME(LBS_NOINTEGRALHEIGHT),
    NAME(LBS_MULTICOLUMN),
    NAME(LBS_WANTKEYBOARDINPUT),
    NAME(LBS_EXTENDEDSEL),
    NAME(LBS_DISABLENOSCROLL),
    NAME(LBS_NOSEL),
    NAME(LBS_STANDARD),
    NAME(LVS_ICON),
    NAME(LVS_REPORT),
    NAME(LVS_SMALLICON),
    NAME(LVS_LIST),
    NAME(LVS_SINGLESEL),
    NAME(LVS_SHOWSELALWAYS),
    NAME(LVS_SORTASCENDING),
    NAME(LVS_SORTDESCENDING),
    NAME(LVS_SHAREIMAGELISTS),
    NAME(LVS_NOLABELWRAP),
    NAME(LVS_AUTOARRANGE),
    NAME(LVS_EDITLABELS),
    NAME(LVS_OWNERDRAWFIXED),
    NAME(LVS_ALIGNLEFT),
    NAME(LVS_NOSCROLL),
    NAME(LVS_NOCOLUMNHEADER),
    NAME(LVS_NOSORTHEADER),
    NAME(TBS_AUTOTICKS),
    NAME(TBS_VERT),
    NAME(TBS_HORZ),
    NAME(TBS_TOP),
    NAME(TBS_BOTTOM),
    NAME(TBS_LEFT),
    NAME(TBS_RIGHT),
    NAME(TBS_BOTH),
    NAME(TBS_NOTICKS),
    NAME(TBS_ENABLESELRANGE),
    NAME(PBS_SMOOTH),
    NAME(IDOK),
    NAME(IDCANCEL),
    NAME(IDABORT),
    NAME(IDRETRY),
    NAME(IDIGNORE),
    NAME(IDYES),
    NAME(IDNO),
    NAME(IDHELP),
};
#undef NAME

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Kind { Name, Number, String, Punct, End };

struct Token {
    Kind kind = Kind::End;
    std::string text;
    long long number = 0;
    int line = 0;
};

class Lexer {
public:
    Lexer(std::string file, std::vector<std::string> includeDirs, std::map<std::string, long long>& defines)
        : file_(std::move(file)), includeDirs_(std::move(includeDirs)), defines_(defines) {}

    std::vector<Token> run() {
        std::ifstream in(file_);
        if (!in)
            throw Error(file_ + ": cannot be read");
        std::stringstream text;
        text << in.rdbuf();
        src_ = text.str();
        std::vector<Token> out;
        while (true) {
            Token t = next();
            out.push_back(t);
            if (t.kind == Kind::End)
                return out;
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw Error(file_ + ":" + std::to_string(line_) + ": " + what);
    }

    void directive() {
        size_t end = src_.find('\n', pos_);
        std::string lineText = src_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_);
        pos_ = end == std::string::npos ? src_.size() : end;
        std::istringstream words(lineText.substr(1));
        std::string verb;
        words >> verb;
        if (verb == "include") {
            std::string name;
            words >> name;
            if (name.size() >= 2 && (name.front() == '"' || name.front() == '<'))
                name = name.substr(1, name.size() - 2);
            readHeader(name);
        } else if (verb == "define") {
            std::string name, value;
            words >> name >> value;
            defines_[name] = parseNumber(value);
        }
        // Conditionals and pragmas of generated scripts do not change what the tools' scripts say.
    }

    void readHeader(const std::string& name) {
        std::string dir = file_.substr(0, file_.find_last_of('/') + 1);
        std::vector<std::string> candidates = {dir + name};
        for (const auto& d : includeDirs_)
            candidates.push_back(d + "/" + name);
        for (const auto& path : candidates) {
            std::ifstream in(path);
            if (!in)
                continue;
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream words(line);
                std::string hash, name2, value;
                words >> hash >> name2 >> value;
                if (hash == "#define" && !value.empty() &&
                    (std::isdigit((unsigned char)value[0]) || value[0] == '-'))
                    defines_[name2] = parseNumber(value);
            }
            return;
        }
        // A system header (windows.h, commctrl.h): its names are known already.
    }

    long long parseNumber(const std::string& text) const {
        char* end = nullptr;
        long long value = std::strtoll(text.c_str(), &end, 0);
        if (end == text.c_str())
            fail("\"" + text + "\" is not a number");
        return value;
    }

    Token next() {
        while (pos_ < src_.size()) {
            char c = src_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (std::isspace((unsigned char)c)) {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '/') {
                while (pos_ < src_.size() && src_[pos_] != '\n')
                    ++pos_;
            } else if (c == '/' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '*') {
                size_t end = src_.find("*/", pos_ + 2);
                if (end == std::string::npos)
                    fail("a comment that never ends");
                for (size_t i = pos_; i < end; ++i)
                    line_ += src_[i] == '\n';
                pos_ = end + 2;
            } else if (c == '#') {
                directive();
            } else {
                break;
            }
        }
        Token t;
        t.line = line_;
        if (pos_ >= src_.size())
            return t;
        char c = src_[pos_];
        if (c == '"') {
            t.kind = Kind::String;
            ++pos_;
            while (true) {
                if (pos_ >= src_.size() || src_[pos_] == '\n')
                    fail("a string that never ends");
                char d = src_[pos_++];
                if (d == '"') {
                    if (pos_ < src_.size() && src_[pos_] == '"') { // "" stands for one quote
                        t.text += '"';
                        ++pos_;
                        continue;
                    }
                    break;
                }
                if (d == '\\' && pos_ < src_.size()) {
                    char e = src_[pos_++];
                    t.text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
                    continue;
                }
                t.text += d;
            }
            return t;
        }
        if (std::isdigit((unsigned char)c)) {
            size_t start = pos_;
            while (pos_ < src_.size() && (std::isalnum((unsigned char)src_[pos_])))
                ++pos_;
            std::string text = src_.substr(start, pos_ - start);
            while (!text.empty() &&
                   (text.back() == 'L' || text.back() == 'l' || text.back() == 'U' || text.back() == 'u'))
                text.pop_back();
            t.kind = Kind::Number;
            t.number = parseNumber(text);
            t.text = text;
            return t;
        }
        if (std::isalpha((unsigned char)c) || c == '_') {
            size_t start = pos_;
            while (pos_ < src_.size() && (std::isalnum((unsigned char)src_[pos_]) || src_[pos_] == '_'))
                ++pos_;
            t.kind = Kind::Name;
            t.text = src_.substr(start, pos_ - start);
            return t;
        }
        t.kind = Kind::Punct;
        t.text = std::string(1, c);
        ++pos_;
        return t;
    }

    std::string file_;
    std::vector<std::string> includeDirs_;
    std::map<std::string, long long>& defines_;
    std::string src_;
    size_t pos_ = 0;
    int line_ = 1;
};

struct Control {
    std::string className, text;
    int imageId = 0;
    long long id = 0;
    uint32_t style = 0, exStyle = 0;
    long long x = 0, y = 0, cx = 0, cy = 0;
};

struct Dialog {
    long long id = 0;
    std::string caption, font = "MS Sans Serif";
    int pointSize = 8;
    uint32_t style = WS_POPUP | WS_BORDER | WS_SYSMENU, exStyle = 0;
    long long x = 0, y = 0, cx = 0, cy = 0;
    std::vector<Control> controls;
};

struct Image {
    long long id = 0;
    bool icon = true;
    std::string file;
    std::vector<unsigned char> data;
};

class Parser {
public:
    Parser(std::vector<Token> tokens, const std::map<std::string, long long>& defines, std::string file)
        : t_(std::move(tokens)), defines_(defines), file_(std::move(file)) {}

    std::vector<Dialog> dialogs;
    std::map<long long, std::string> strings;
    std::vector<Image> images;

    void run() {
        while (peek().kind != Kind::End) {
            if (isName("STRINGTABLE")) {
                take();
                stringTable();
                continue;
            }
            if (isName("LANGUAGE")) {
                take();
                value();
                expect(",");
                value();
                continue;
            }
            long long id = value();
            Token kind = take();
            if (kind.kind != Kind::Name)
                fail(kind, "a resource type (DIALOG, DIALOGEX, ICON, BITMAP) after the name");
            if (kind.text == "DIALOG" || kind.text == "DIALOGEX")
                dialog(id);
            else if (kind.text == "ICON" || kind.text == "BITMAP")
                image(id, kind.text == "ICON");
            else
                fail(kind, "resource type " + kind.text + " is not one the tools use");
        }
    }

private:
    [[noreturn]] void fail(const Token& at, const std::string& what) const {
        throw Error(file_ + ":" + std::to_string(at.line) + ": " + what);
    }
    const Token& peek() const { return t_[i_]; }
    Token take() {
        Token t = t_[i_];
        if (t.kind != Kind::End)
            ++i_;
        return t;
    }
    bool isName(const char* name) const { return peek().kind == Kind::Name && peek().text == name; }
    bool isPunct(const char* p) const { return peek().kind == Kind::Punct && peek().text == p; }
    void expect(const char* p) {
        Token t = take();
        if (t.kind != Kind::Punct || t.text != p)
            fail(t, std::string("expected \"") + p + "\"");
    }
    void skipMemoryOptions() {
        static const char* const kOptions[] = {"DISCARDABLE", "MOVEABLE", "PURE",   "PRELOAD",  "LOADONCALL",
                                               "FIXED",       "IMPURE",   "SHARED", "NONSHARED"};
        while (peek().kind == Kind::Name) {
            bool option = false;
            for (const char* o : kOptions)
                option = option || peek().text == o;
            if (!option)
                return;
            take();
        }
    }

    long long atom() {
        Token t = take();
        if (t.kind == Kind::Number)
            return t.number;
        if (t.kind == Kind::Punct && t.text == "(") {
            long long v = expression();
            expect(")");
            return v;
        }
        if (t.kind == Kind::Punct && t.text == "-")
            return -atom();
        if (t.kind == Kind::Punct && t.text == "~")
            return ~atom();
        if (t.kind == Kind::Name) {
            auto d = defines_.find(t.text);
            if (d != defines_.end())
                return d->second;
            auto n = kNames.find(t.text);
            if (n != kNames.end())
                return n->second;
            fail(t, "unknown name " + t.text);
        }
        fail(t, "expected a number or a name");
    }
    long long expression() {
        long long v = atom();
        while (isPunct("|") || isPunct("+") || isPunct("-")) {
            std::string op = take().text;
            long long w = atom();
            v = op == "|" ? (v | w) : op == "+" ? v + w : v - w;
        }
        return v;
    }
    long long value() { return expression(); }

    // A style: names or'ed onto the defaults; NOT name takes a default away.
    uint32_t style(uint32_t defaults) {
        uint32_t v = defaults;
        bool first = true;
        while (first || isPunct("|")) {
            if (!first)
                take();
            first = false;
            if (isName("NOT")) {
                take();
                v &= ~static_cast<uint32_t>(atom());
            } else {
                v |= static_cast<uint32_t>(atom());
            }
        }
        return v;
    }

    std::string text() {
        Token t = take();
        if (t.kind != Kind::String)
            fail(t, "expected a quoted text");
        return t.text;
    }

    void block(const std::function<void()>& item) {
        Token open = take();
        if (!((open.kind == Kind::Name && open.text == "BEGIN") ||
              (open.kind == Kind::Punct && open.text == "{")))
            fail(open, "expected BEGIN");
        while (!(isName("END") || isPunct("}"))) {
            if (peek().kind == Kind::End)
                fail(peek(), "BEGIN without END");
            item();
        }
        take();
    }

    void stringTable() {
        skipMemoryOptions();
        block([&] {
            long long id = value();
            if (isPunct(","))
                take();
            Token at = peek();
            std::string s = text();
            if (!strings.emplace(id, s).second)
                fail(at, "string " + std::to_string(id) + " given twice");
        });
    }

    void image(long long id, bool icon) {
        skipMemoryOptions();
        Token at = peek();
        Image img;
        img.id = id;
        img.icon = icon;
        img.file = text();
        std::string dir = file_.substr(0, file_.find_last_of('/') + 1);
        std::string path = img.file;
        for (char& c : path)
            if (c == '\\')
                c = '/';
        std::ifstream in(dir + path, std::ios::binary);
        if (!in)
            fail(at, img.file + " cannot be read");
        img.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        images.push_back(std::move(img));
    }

    void dialog(long long id) {
        Dialog d;
        d.id = id;
        skipMemoryOptions();
        d.x = value();
        expect(",");
        d.y = value();
        expect(",");
        d.cx = value();
        expect(",");
        d.cy = value();
        if (isPunct(",")) { // DIALOGEX help id
            take();
            value();
        }
        while (peek().kind == Kind::Name && peek().text != "BEGIN") {
            Token what = take();
            if (what.text == "STYLE")
                d.style = style(0);
            else if (what.text == "EXSTYLE")
                d.exStyle = style(0);
            else if (what.text == "CAPTION")
                d.caption = text();
            else if (what.text == "FONT") {
                d.pointSize = static_cast<int>(value());
                expect(",");
                d.font = text();
                while (isPunct(",")) {
                    take();
                    value();
                }
                d.style |= DS_SETFONT;
            } else if (what.text == "LANGUAGE") {
                value();
                expect(",");
                value();
            } else
                fail(what, what.text + " is not a dialog statement the tools use");
        }
        block([&] { d.controls.push_back(control()); });
        dialogs.push_back(std::move(d));
    }

    void position(Control& c, bool size = true) {
        c.x = value();
        expect(",");
        c.y = value();
        if (!size && !isPunct(","))
            return;
        expect(",");
        c.cx = value();
        expect(",");
        c.cy = value();
    }

    // Optional ", style [, exstyle]" after a control's position.
    void trailingStyles(Control& c) {
        if (isPunct(",")) {
            take();
            c.style = style(c.style);
            if (isPunct(",")) {
                take();
                c.exStyle = style(0);
            }
        }
    }

    Control control() {
        Token what = take();
        if (what.kind != Kind::Name)
            fail(what, "expected a control statement");
        const uint32_t base = WS_CHILD | WS_VISIBLE;
        Control c;
        const std::string& w = what.text;
        struct Simple {
            const char* keyword;
            const char* className;
            uint32_t style;
        };
        static const Simple kText[] = {
            {"LTEXT", "STATIC", SS_LEFT | WS_GROUP},
            {"RTEXT", "STATIC", SS_RIGHT | WS_GROUP},
            {"CTEXT", "STATIC", SS_CENTER | WS_GROUP},
            {"PUSHBUTTON", "BUTTON", BS_PUSHBUTTON | WS_TABSTOP},
            {"DEFPUSHBUTTON", "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP},
            {"CHECKBOX", "BUTTON", BS_CHECKBOX | WS_TABSTOP},
            {"AUTOCHECKBOX", "BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP},
            {"RADIOBUTTON", "BUTTON", BS_RADIOBUTTON},
            {"AUTORADIOBUTTON", "BUTTON", BS_AUTORADIOBUTTON},
            {"GROUPBOX", "BUTTON", BS_GROUPBOX},
        };
        for (const auto& s : kText)
            if (w == s.keyword) {
                c.className = s.className;
                c.style = base | s.style;
                c.text = text();
                expect(",");
                c.id = value();
                expect(",");
                position(c);
                trailingStyles(c);
                return c;
            }
        static const Simple kBare[] = {
            {"EDITTEXT", "EDIT", ES_LEFT | WS_BORDER | WS_TABSTOP},
            {"COMBOBOX", "COMBOBOX", CBS_SIMPLE | WS_TABSTOP},
            {"LISTBOX", "LISTBOX", LBS_NOTIFY | WS_BORDER},
        };
        for (const auto& s : kBare)
            if (w == s.keyword) {
                c.className = s.className;
                c.style = base | s.style;
                c.id = value();
                expect(",");
                position(c);
                trailingStyles(c);
                return c;
            }
        if (w == "ICON") {
            c.className = "STATIC";
            c.style = base | SS_ICON;
            if (peek().kind == Kind::String)
                c.text = text();
            else
                c.imageId = static_cast<int>(value());
            expect(",");
            c.id = value();
            expect(",");
            position(c, false);
            trailingStyles(c);
            return c;
        }
        if (w == "CONTROL") {
            if (peek().kind == Kind::String)
                c.text = text();
            else
                c.imageId = static_cast<int>(value());
            expect(",");
            c.id = value();
            expect(",");
            Token cls = take();
            if (cls.kind != Kind::String && cls.kind != Kind::Name)
                fail(cls, "expected a window class");
            c.className = cls.text;
            expect(",");
            c.style = style(base);
            expect(",");
            position(c);
            if (isPunct(",")) {
                take();
                c.exStyle = style(0);
            }
            return c;
        }
        fail(what, w + " is not a control statement the tools use");
    }

    std::vector<Token> t_;
    size_t i_ = 0;
    const std::map<std::string, long long>& defines_;
    std::string file_;
};

std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + char(c);
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        } else
            out += char(c);
    }
    return out + "\"";
}

std::string Emit(const Parser& p, const std::string& name, const std::string& symbol) {
    std::ostringstream out;
    out << "// Generated by cvrc from the program's resource script; do not edit.\n"
        << "#include \"platform/win32/resources.h\"\n\nnamespace {\n\n";
    for (const auto& d : p.dialogs) {
        out << "const win32::ControlTemplate kDialog" << d.id << "[] = {\n";
        for (const auto& c : d.controls)
            out << "    {" << Quoted(c.className) << ", " << Quoted(c.text) << ", " << c.imageId << ", "
                << c.id << ", 0x" << std::hex << c.style << "u, 0x" << c.exStyle << "u" << std::dec << ", "
                << c.x << ", " << c.y << ", " << c.cx << ", " << c.cy << "},\n";
        if (d.controls.empty())
            out << "    {\"\", \"\", 0, 0, 0u, 0u, 0, 0, 0, 0},\n";
        out << "};\n\n";
    }
    for (const auto& img : p.images) {
        out << "const unsigned char kImage" << img.id << "[] = {";
        for (size_t i = 0; i < img.data.size(); ++i)
            out << (i % 24 == 0 ? "\n    " : "") << unsigned(img.data[i]) << ",";
        out << "\n};\n\n";
    }
    out << "const win32::DialogTemplate kDialogs[] = {\n";
    for (const auto& d : p.dialogs)
        out << "    {" << d.id << ", " << Quoted(d.caption) << ", 0x" << std::hex << d.style << "u, 0x"
            << d.exStyle << "u" << std::dec << ", " << d.x << ", " << d.y << ", " << d.cx << ", " << d.cy
            << ", " << Quoted(d.font) << ", " << d.pointSize << ", kDialog" << d.id << ", "
            << d.controls.size() << "},\n";
    if (p.dialogs.empty())
        out << "    {0, \"\", 0u, 0u, 0, 0, 0, 0, \"\", 0, nullptr, 0},\n";
    out << "};\n\nconst win32::StringResource kStrings[] = {\n";
    for (const auto& [id, s] : p.strings)
        out << "    {" << id << ", " << Quoted(s) << "},\n";
    if (p.strings.empty())
        out << "    {0, \"\"},\n";
    out << "};\n\nconst win32::ImageResource kImages[] = {\n";
    for (const auto& img : p.images)
        out << "    {" << img.id << ", win32::ImageKind::" << (img.icon ? "Icon" : "Bitmap") << ", "
            << Quoted(img.file) << ", kImage" << img.id << ", sizeof kImage" << img.id << "},\n";
    if (p.images.empty())
        out << "    {0, win32::ImageKind::Icon, \"\", nullptr, 0},\n";
    out << "};\n\n} // namespace\n\nextern const win32::ModuleResources " << symbol << " = {" << Quoted(name)
        << ", kDialogs, " << p.dialogs.size() << ", kStrings, " << p.strings.size() << ", kImages, "
        << p.images.size() << "};\n";
    return out.str();
}

} // namespace

int main(int argc, char** argv) {
    std::string name, symbol, input, output;
    std::vector<std::string> includes;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--name" && i + 1 < argc)
            name = argv[++i];
        else if (a == "--symbol" && i + 1 < argc)
            symbol = argv[++i];
        else if (a == "-I" && i + 1 < argc)
            includes.push_back(argv[++i]);
        else if (input.empty())
            input = a;
        else
            output = a;
    }
    if (name.empty() || symbol.empty() || input.empty() || output.empty()) {
        std::fprintf(stderr, "usage: cvrc --name FILE --symbol NAME [-I DIR]... INPUT.rc OUTPUT.cpp\n");
        return 2;
    }
    try {
        std::map<std::string, long long> defines;
        Parser parser(Lexer(input, includes, defines).run(), defines, input);
        parser.run();
        std::string text = Emit(parser, name, symbol);
        std::ofstream out(output);
        out << text;
        if (!out)
            throw Error(output + ": cannot be written");
    } catch (const Error& e) {
        std::fprintf(stderr, "cvrc: %s\n", e.what());
        return 1;
    }
    return 0;
}
