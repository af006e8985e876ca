// A message compiler for the drivers' catalogues: reads a .mc file (the header statements SeverityNames
// and FacilityNames, then one block per message: MessageId, Severity, Facility, SymbolicName, Language,
// the text lines and a line holding only ".") and writes a header with the symbolic names and a source
// file with the message-table resource of the driver image.
//
//   cvmc [--customer] --table NAME input.mc output.h output.cpp
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
    unsigned long id = 0;
    std::string symbol;
    std::string text; // lines joined with CR LF, ending with CR LF
};

[[noreturn]] void fail(const std::string& file, size_t line, const std::string& what) {
    std::cerr << file << ":" << line << ": " << what << "\n";
    std::exit(1);
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// NAME=(a=0x1 b=0x2)
std::map<std::string, unsigned long> parseNames(const std::string& value, const std::string& file,
                                                size_t line) {
    std::map<std::string, unsigned long> names;
    if (value.size() < 2 || value.front() != '(' || value.back() != ')')
        fail(file, line, "expected (name=number ...)");
    std::istringstream in(value.substr(1, value.size() - 2));
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            fail(file, line, "expected name=number in " + item);
        names[item.substr(0, eq)] = std::strtoul(item.substr(eq + 1).c_str(), nullptr, 0);
    }
    return names;
}

std::string cLiteral(const std::string& utf8) {
    std::string out = "u\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c)); // UTF-8 source text becomes UTF-16 in a u"" literal
            }
        }
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv) {
    bool customer = false;
    std::string table;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--customer")
            customer = true;
        else if (arg == "--table" && i + 1 < argc)
            table = argv[++i];
        else
            files.push_back(arg);
    }
    if (files.size() != 3 || table.empty()) {
        std::cerr << "usage: cvmc [--customer] --table NAME input.mc output.h output.cpp\n";
        return 2;
    }
    const std::string& input = files[0];
    std::ifstream in(input);
    if (!in) {
        std::cerr << input << ": cannot be read\n";
        return 1;
    }
    std::map<std::string, unsigned long> severities, facilities;
    std::vector<Message> messages;
    Message current;
    unsigned long severity = 0, facility = 0;
    bool inText = false, haveId = false;
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (inText) {
            if (line == ".") {
                current.id = (severity << 30) | (customer ? 1ul << 29 : 0) | (facility << 16) | current.id;
                messages.push_back(current);
                current = Message{};
                inText = haveId = false;
            } else {
                current.text += line + "\r\n";
            }
            continue;
        }
        std::string t = trim(line);
        if (t.empty() || t[0] == ';')
            continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            fail(input, number, "expected keyword=value");
        std::string key = trim(t.substr(0, eq)), value = trim(t.substr(eq + 1));
        if (key == "SeverityNames") {
            severities = parseNames(value, input, number);
        } else if (key == "FacilityNames") {
            facilities = parseNames(value, input, number);
        } else if (key == "MessageId") {
            current.id = std::strtoul(value.c_str(), nullptr, 0);
            haveId = true;
        } else if (key == "Severity") {
            if (!severities.count(value))
                fail(input, number, "unknown severity " + value);
            severity = severities[value];
        } else if (key == "Facility") {
            if (!facilities.count(value))
                fail(input, number, "unknown facility " + value);
            facility = facilities[value];
        } else if (key == "SymbolicName") {
            current.symbol = value;
        } else if (key == "Language") {
            if (!haveId)
                fail(input, number, "expected MessageId before the text");
            inText = true;
        } else {
            fail(input, number, "unknown keyword " + key);
        }
    }
    if (inText)
        fail(input, number, "expected a line with a single '.' to end the message");

    std::ofstream header(files[1]);
    header << "// Generated from " << input << " by cvmc. Do not edit.\n#pragma once\n\n"
           << "#include \"msgtable.h\"\n\n";
    for (const auto& m : messages) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08lXL", m.id);
        header << "#define " << m.symbol << " ((NTSTATUS)" << id << ")\n";
    }
    header << "\nextern \"C\" const MESSAGE_TABLE " << table << ";\n";

    std::ofstream source(files[2]);
    source << "// Generated from " << input << " by cvmc. Do not edit.\n"
           << "#include \"msgtable.h\"\n\nnamespace {\nconst MESSAGE_TABLE_ENTRY kEntries[] = {\n";
    for (const auto& m : messages) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08lX", m.id);
        source << "    {" << id << ", " << cLiteral(m.text) << "},\n";
    }
    source << "};\n} // namespace\n\nextern \"C\" const MESSAGE_TABLE " << table << " = {" << messages.size()
           << ", kEntries};\n";
    return header && source ? 0 : 1;
}
