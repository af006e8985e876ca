// .reg text: the format Windows administrators export and import with regedit.
//
// Both headers are read ("REGEDIT4" and "Windows Registry Editor Version 5.00"); keys, key deletion
// ([-KEY]), values of every type (quoted strings, dword:, hex:, hex(n):), value deletion ("name"=-),
// comment lines and hex lists continued with a backslash. A text is parsed whole before anything is
// applied, so a malformed one leaves the registry untouched. Text is read as UTF-16 (with its byte order
// mark), UTF-8, or Latin-1 when it is not valid UTF-8; it is written as UTF-8.
#include "platform/nt/kernel.h"
#include "platform/nt/registry.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace nt {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
// The registry's own limits, which also bound how deep saving and comparing trees recurse.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxDepth = 512;
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

bool validUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        size_t follow;
        if (c < 0x80)
            follow = 0;
        else if ((c & 0xE0) == 0xC0)
            follow = 1;
        else if ((c & 0xF0) == 0xE0)
            follow = 2;
        else if ((c & 0xF8) == 0xF0)
            follow = 3;
        else
            return false;
        if (s.size() - i - 1 < follow)
            return false;
        for (size_t k = 1; k <= follow; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

// The text of a .reg file as UTF-16.
std::u16string decodeText(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        std::u16string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                                 static_cast<uint8_t>(bytes[i + 1]) << 8));
        return text;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    if (validUtf8(bytes))
        return toUtf16(bytes);
    std::u16string text;
    for (char c : bytes)
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    return text;
}

struct Line {
    size_t number;
    std::u16string text;
};

std::u16string_view trim(std::u16string_view s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t'))
        s.remove_suffix(1);
    return s;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

struct Op {
    enum Kind { DeleteKey, CreateKey, SetValue, DeleteValue } kind;
    std::u16string key; // kernel path below \REGISTRY
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct ParseError {
    size_t line;
    std::string what;
};

class Parser {
public:
    Parser(std::vector<Line> lines, bool regedit4) : lines_(std::move(lines)), regedit4_(regedit4) {}

    std::vector<Op> run() {
        std::optional<std::u16string> key;
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            std::u16string_view text = trim(lines_[index_].text);
            if (text.empty() || text.front() == u';')
                continue;
            if (text.front() == u'[') {
                key = parseKeyLine(text);
                continue;
            }
            if (!key)
                fail("a key line such as [HKEY_LOCAL_MACHINE\\...] before the first value");
            parseValueLine(*key, text);
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] void fail(const std::string& what) const { throw ParseError{lines_[index_].number, what}; }

    std::optional<std::u16string> parseKeyLine(std::u16string_view text) {
        if (text.back() != u']')
            fail("']' at the end of the key line");
        std::u16string_view path = text.substr(1, text.size() - 2);
        bool remove = !path.empty() && path.front() == u'-';
        if (remove)
            path.remove_prefix(1);
        std::u16string kernelPath = toKernelPath(path);
        ops_.push_back(Op{remove ? Op::DeleteKey : Op::CreateKey, kernelPath, {}, 0, {}});
        if (remove)
            return std::nullopt; // values after a deleted key have nowhere to go
        return kernelPath;
    }

    std::u16string toKernelPath(std::u16string_view path) {
        size_t slash = path.find(u'\\');
        std::u16string_view hive = path.substr(0, slash);
        std::u16string out;
        if (namesEqual(hive, u"HKEY_LOCAL_MACHINE"))
            out = u"MACHINE";
        else if (namesEqual(hive, u"HKEY_USERS"))
            out = u"USER";
        else
            fail("a key under HKEY_LOCAL_MACHINE or HKEY_USERS, found \"" + toUtf8(hive) + "\"");
        if (slash == std::u16string_view::npos)
            return out;
        std::u16string_view rest = path.substr(slash + 1);
        size_t start = 0, depth = 0;
        while (start <= rest.size()) {
            size_t end = rest.find(u'\\', start);
            if (end == std::u16string_view::npos)
                end = rest.size();
            if (end == start)
                fail("a key name between backslashes");
            if (end - start > kMaxKeyName)
                fail("a key name of at most 255 characters");
            if (++depth > kMaxDepth)
                fail("a key at most 512 levels deep");
            out += u"\\";
            out += rest.substr(start, end - start);
            start = end + 1;
        }
        return out;
    }

    // Reads a quoted string starting at text[pos] == '"'; returns the position after the closing quote.
    size_t parseQuoted(std::u16string_view text, size_t pos, std::u16string& out) {
        ++pos;
        while (pos < text.size()) {
            char16_t c = text[pos];
            if (c == u'"')
                return pos + 1;
            if (c == u'\\') {
                if (pos + 1 >= text.size() || (text[pos + 1] != u'\\' && text[pos + 1] != u'"'))
                    fail("\\\\ or \\\" after a backslash in a quoted string");
                out.push_back(text[pos + 1]);
                pos += 2;
                continue;
            }
            out.push_back(c);
            ++pos;
        }
        fail("a closing double quote");
    }

    void parseValueLine(const std::u16string& key, std::u16string_view text) {
        std::u16string name;
        size_t pos = 0;
        if (text.front() == u'@') {
            pos = 1;
        } else if (text.front() == u'"') {
            pos = parseQuoted(text, 0, name);
        } else {
            fail("a value name in double quotes, or @ for the default value");
        }
        std::u16string_view rest = trim(text.substr(pos));
        if (rest.empty() || rest.front() != u'=')
            fail("'=' after the value name");
        rest = trim(rest.substr(1));
        if (rest == u"-") {
            ops_.push_back(Op{Op::DeleteValue, key, name, 0, {}});
            return;
        }
        Op op{Op::SetValue, key, name, 0, {}};
        if (!rest.empty() && rest.front() == u'"') {
            std::u16string value;
            size_t end = parseQuoted(rest, 0, value);
            if (!trim(rest.substr(end)).empty())
                fail("the end of the line after the closing double quote");
            op.type = 1;
            op.data = stringData(value);
        } else if (rest.substr(0, 6) == u"dword:") {
            std::u16string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8)
                fail("one to eight hex digits after dword:");
            uint32_t value = 0;
            for (char16_t c : digits) {
                int d = hexDigit(c);
                if (d < 0)
                    fail("hex digits after dword:, found \"" + toUtf8(digits) + "\"");
                value = value << 4 | static_cast<uint32_t>(d);
            }
            op.type = 4;
            op.data = dwordData(value);
        } else if (rest.substr(0, 4) == u"hex:" || rest.substr(0, 4) == u"hex(") {
            size_t colon;
            if (rest[3] == u':') {
                op.type = 3;
                colon = 3;
            } else {
                size_t close = rest.find(u')');
                if (close == std::u16string_view::npos || close == 4 || close > 12 ||
                    close + 1 >= rest.size() || rest[close + 1] != u':')
                    fail("hex(n): with the type number n in hex");
                uint32_t type = 0;
                for (size_t i = 4; i < close; ++i) {
                    int d = hexDigit(rest[i]);
                    if (d < 0)
                        fail("hex(n): with the type number n in hex");
                    type = type << 4 | static_cast<uint32_t>(d);
                }
                op.type = type;
                colon = close + 1;
            }
            op.data = parseHexList(rest.substr(colon + 1));
            if (regedit4_ && (op.type == 2 || op.type == 7))
                op.data = widenAnsi(op.data); // REGEDIT4 keeps these as single-byte text
        } else {
            fail("a quoted string, dword:, hex: or hex(n): after '='");
        }
        ops_.push_back(std::move(op));
    }

    std::vector<uint8_t> parseHexList(std::u16string_view first) {
        std::vector<uint8_t> bytes;
        std::u16string_view segment = trim(first);
        for (;;) {
            bool more = !segment.empty() && segment.back() == u'\\';
            if (more)
                segment.remove_suffix(1);
            size_t start = 0;
            while (start < segment.size()) {
                size_t comma = segment.find(u',', start);
                bool last = comma == std::u16string_view::npos;
                std::u16string_view token =
                    trim(segment.substr(start, last ? std::u16string_view::npos : comma - start));
                if (token.empty()) {
                    if (!last && trim(segment.substr(comma + 1)).empty())
                        break; // a trailing comma, as regedit writes before a continuation
                    fail("a two-digit hex byte between commas");
                }
                if (token.size() > 2 || hexDigit(token[0]) < 0 ||
                    (token.size() == 2 && hexDigit(token[1]) < 0))
                    fail("a two-digit hex byte, found \"" + toUtf8(token) + "\"");
                int value = hexDigit(token[0]);
                if (token.size() == 2)
                    value = value * 16 + hexDigit(token[1]);
                bytes.push_back(static_cast<uint8_t>(value));
                if (last)
                    break;
                start = comma + 1;
            }
            if (!more)
                return bytes;
            if (index_ + 1 >= lines_.size() || trim(lines_[index_ + 1].text).empty())
                fail("a continuation line after the backslash");
            ++index_;
            segment = trim(lines_[index_].text);
        }
    }

    static std::vector<uint8_t> widenAnsi(const std::vector<uint8_t>& ansi) {
        std::vector<uint8_t> wide;
        wide.reserve(ansi.size() * 2);
        for (uint8_t b : ansi) {
            wide.push_back(b);
            wide.push_back(0);
        }
        return wide;
    }

    std::vector<Line> lines_;
    bool regedit4_;
    size_t index_ = 0;
    std::vector<Op> ops_;
};

std::vector<Line> splitLines(const std::u16string& text) {
    std::vector<Line> lines;
    size_t start = 0, number = 1;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r')
            line.pop_back();
        lines.push_back(Line{number++, std::move(line)});
        if (end + 1 >= text.size())
            break; // a final line break ends the last line; it does not start another
        start = end + 1;
    }
    return lines;
}

} // namespace

RegLoadResult Registry::loadText(std::string_view bytes, std::string_view sourceName) {
    RegLoadResult result;
    std::vector<Line> lines = splitLines(decodeText(bytes));
    // The header is the first line that is not blank.
    size_t first = 0;
    while (first < lines.size() && trim(lines[first].text).empty())
        ++first;
    auto refuse = [&](size_t line, const std::string& what) {
        result.ok = false;
        result.error = std::string(sourceName) + ":" + std::to_string(line) + ": expected " + what;
        return result;
    };
    if (first == lines.size())
        return refuse(lines.empty() ? 1 : lines.back().number,
                      "the header \"REGEDIT4\" or \"" + std::string(kHeader5) + "\"");
    std::u16string header(trim(lines[first].text));
    bool regedit4 = header == toUtf16(kHeader4);
    if (!regedit4 && header != toUtf16(kHeader5))
        return refuse(lines[first].number, "the header \"REGEDIT4\" or \"" + std::string(kHeader5) +
                                               "\", found \"" + toUtf8(header) + "\"");
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(first));

    std::vector<Op> ops;
    try {
        ops = Parser(std::move(lines), regedit4).run();
    } catch (const ParseError& e) {
        return refuse(e.line, e.what);
    }

    for (auto& op : ops) {
        switch (op.kind) {
        case Op::DeleteKey:
            if (auto key = openBelow(*root_, op.key); key && key != root_ && key->parent != root_.get())
                unlink(*key);
            ++result.keys;
            break;
        case Op::CreateKey:
            createBelow(*root_, op.key);
            ++result.keys;
            break;
        case Op::SetValue: {
            auto key = createBelow(*root_, op.key);
            key->setValue(op.name, op.type, std::move(op.data));
            ++result.values;
            break;
        }
        case Op::DeleteValue: {
            if (auto key = openBelow(*root_, op.key)) {
                auto& values = key->values;
                std::erase_if(values, [&](const RegValue& v) { return namesEqual(v.name, op.name); });
            }
            ++result.values;
            break;
        }
        }
    }
    return result;
}

RegLoadResult Registry::loadFile(const std::string& filePath) {
    std::ifstream in(filePath, std::ios::binary);
    if (!in) {
        RegLoadResult result;
        result.ok = false;
        result.error = filePath + ": cannot be read";
        return result;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    return loadText(buffer.str(), filePath);
}

namespace {

std::string quote(std::u16string_view text) {
    std::string out = "\"";
    for (char c : toUtf8(text)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A REG_SZ value can be written as a quoted string when that form gives back exactly the same bytes.
bool quotable(const RegValue& v) {
    if (v.type != 1 || v.data.size() < 2 || v.data.size() % 2)
        return false;
    size_t count = v.data.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        char16_t c = static_cast<char16_t>(v.data[2 * i] | v.data[2 * i + 1] << 8);
        bool lastUnit = i + 1 == count;
        if ((c == 0) != lastUnit)
            return false;
        if (c != 0 && c < 0x20 && c != u'\t')
            return false;
        if (c >= 0xD800 && c <= 0xDFFF) {
            // Only well-formed surrogate pairs survive the trip through UTF-8.
            if (c >= 0xDC00 || i + 1 >= count)
                return false;
            char16_t low = static_cast<char16_t>(v.data[2 * i + 2] | v.data[2 * i + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

void writeValue(const RegValue& v, std::string& out) {
    std::string line = v.name.empty() ? "@=" : quote(v.name) + "=";
    if (quotable(v)) {
        std::u16string text;
        for (size_t i = 0; i + 2 < v.data.size(); i += 2)
            text.push_back(static_cast<char16_t>(v.data[i] | v.data[i + 1] << 8));
        out += line + quote(text) + "\n";
        return;
    }
    if (v.type == 4 && v.data.size() == 4) {
        char buf[20];
        uint32_t value =
            v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", value);
        out += line + buf + "\n";
        return;
    }
    if (v.type == 3) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", v.data[i]);
        line += byte;
        if (i + 1 < v.data.size()) {
            line += ",";
            if (line.size() > 76) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + "\n";
}

void writeKey(const RegKey& key, const std::string& name, bool isHive, std::string& out) {
    if (!isHive || !key.values.empty()) {
        out += "[" + name + "]\n";
        for (const auto& v : key.values)
            writeValue(v, out);
        out += "\n";
    }
    for (const auto& child : key.subkeys)
        writeKey(*child, name + "\\" + toUtf8(child->name), false, out);
}

std::string hiveName(const RegKey& key) {
    // The .reg name of a key: its kernel path with \REGISTRY\MACHINE or \REGISTRY\USER replaced.
    std::vector<const RegKey*> chain;
    for (const RegKey* k = &key; k && k->parent; k = k->parent)
        chain.insert(chain.begin(), k);
    if (chain.empty())
        return {};
    std::string out = namesEqual(chain[0]->name, u"MACHINE") ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
    for (size_t i = 1; i < chain.size(); ++i) {
        out += '\\';
        out += toUtf8(chain[i]->name);
    }
    return out;
}

} // namespace

std::string Registry::saveText(std::string_view keyPath) const {
    std::string out = std::string(kHeader5) + "\n\n";
    if (keyPath.empty()) {
        for (const auto& hive : root_->subkeys)
            if (namesEqual(hive->name, u"MACHINE") || namesEqual(hive->name, u"USER"))
                writeKey(*hive, hiveName(*hive), true, out);
        return out;
    }
    auto key = open(keyPath);
    if (key && key != root_)
        writeKey(*key, hiveName(*key), key->parent == root_.get(), out);
    return out;
}

} // namespace nt
