#include "platform/nt/eventlog.h"

#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nt {

namespace {

constexpr const char* kEventSourceKey =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";

template <typename T>
T readField(const std::vector<uint8_t>& packet, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= packet.size())
        std::memcpy(&value, packet.data() + offset, sizeof(T));
    return value;
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

uint32_t EventRecord::errorCode() const {
    return static_cast<uint32_t>(readField<NTSTATUS>(packet, offsetof(IO_ERROR_LOG_PACKET, ErrorCode)));
}
uint16_t EventRecord::numberOfStrings() const {
    return readField<USHORT>(packet, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings));
}
uint16_t EventRecord::stringOffset() const {
    return readField<USHORT>(packet, offsetof(IO_ERROR_LOG_PACKET, StringOffset));
}

std::vector<std::u16string> EventRecord::strings() const {
    std::vector<std::u16string> out;
    size_t at = stringOffset();
    for (unsigned i = 0; i < numberOfStrings() && at + 1 < packet.size(); ++i) {
        std::u16string text;
        for (; at + 1 < packet.size(); at += 2) {
            char16_t c = static_cast<char16_t>(packet[at] | packet[at + 1] << 8);
            if (c == 0)
                break;
            text.push_back(c);
        }
        at += 2;
        out.push_back(std::move(text));
    }
    return out;
}

std::string EventRecord::type() const {
    switch (errorCode() >> 30) {
    case 3:
        return "Error";
    case 2:
        return "Warning";
    default:
        return "Information";
    }
}

EventLog::EventLog(Kernel& kernel) : kernel_(kernel) {}

EventLog::~EventLog() {
    for (auto& [entry, info] : outstanding_)
        std::free(entry);
}

void* EventLog::allocateEntry(void* ioObject, uint8_t size) {
    if (!ioObject)
        kernel_.verifierStop("IoAllocateErrorLogEntry", "no driver or device object given");
    auto* object = static_cast<DEVICE_OBJECT*>(ioObject);
    const DRIVER_OBJECT* driver = nullptr;
    if (object->Type == IO_TYPE_DEVICE)
        driver = object->DriverObject;
    else if (object->Type == IO_TYPE_DRIVER)
        driver = static_cast<DRIVER_OBJECT*>(ioObject);
    if (!driver)
        kernel_.verifierStop("IoAllocateErrorLogEntry", "the object is neither a driver nor a device object");
    if (refuse_ || size < sizeof(IO_ERROR_LOG_PACKET) || size > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    std::u16string name(driver->DriverName.Buffer ? driver->DriverName.Buffer : u"",
                        driver->DriverName.Length / sizeof(WCHAR));
    size_t slash = name.rfind(u'\\');
    std::string source = toUtf8(slash == std::u16string::npos ? name : name.substr(slash + 1));
    void* entry = std::calloc(1, size);
    outstanding_[entry] = Outstanding{source, size};
    return entry;
}

void EventLog::writeEntry(void* entry) {
    auto it = outstanding_.find(entry);
    if (it == outstanding_.end())
        kernel_.verifierStop("IoWriteErrorLogEntry", "the entry did not come from IoAllocateErrorLogEntry");
    const auto* bytes = static_cast<const uint8_t*>(entry);
    records_.push_back(
        EventRecord{kernel_.now(), it->second.source, std::vector<uint8_t>(bytes, bytes + it->second.size)});
    outstanding_.erase(it);
    std::free(entry);
}

void EventLog::freeEntry(void* entry) {
    auto it = outstanding_.find(entry);
    if (it == outstanding_.end())
        kernel_.verifierStop("IoFreeErrorLogEntry", "the entry did not come from IoAllocateErrorLogEntry");
    outstanding_.erase(it);
    std::free(entry);
}

void EventLog::registerMessageFile(const std::string& fileName, const MESSAGE_TABLE& table) {
    files_[lower(fileName)] = table;
}

std::optional<std::u16string> EventLog::messageText(const std::string& source, uint32_t id) const {
    auto files = kernel_.registry().string(kEventSourceKey + source, "EventMessageFile");
    if (!files)
        return std::nullopt;
    size_t start = 0;
    while (start <= files->size()) {
        size_t end = files->find(';', start);
        if (end == std::string::npos)
            end = files->size();
        std::string path = files->substr(start, end - start);
        size_t slash = path.find_last_of("\\/");
        auto file = files_.find(lower(slash == std::string::npos ? path : path.substr(slash + 1)));
        if (file != files_.end())
            for (ULONG i = 0; i < file->second.Count; ++i)
                if (file->second.Entries[i].Id == id)
                    return std::u16string(file->second.Entries[i].Text);
        start = end + 1;
    }
    return std::nullopt;
}

std::u16string formatMessage(std::u16string_view text, const std::vector<std::u16string>& inserts) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        if (text[i + 1] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        size_t j = i + 1;
        unsigned number = 0;
        while (j < text.size() && j < i + 3 && text[j] >= u'0' && text[j] <= u'9')
            number = number * 10 + (text[j++] - u'0');
        if (j == i + 1 || number == 0 || number > inserts.size()) {
            out.push_back(text[i]);
            continue;
        }
        out += inserts[number - 1];
        i = j - 1;
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r'))
        out.pop_back();
    return out;
}

std::string EventLog::render(const EventRecord& record) const {
    std::vector<std::u16string> inserts{toUtf16(record.source)};
    for (auto& s : record.strings())
        inserts.push_back(std::move(s));
    std::string text;
    if (auto message = messageText(record.source, record.errorCode())) {
        text = toUtf8(formatMessage(*message, inserts));
    } else {
        text = "The description for Event ID ( " + std::to_string(record.eventId()) + " ) in Source ( " +
               record.source + " ) cannot be found.";
        if (inserts.size() > 1) {
            text += " The following information is part of the event:";
            for (size_t i = 1; i < inserts.size(); ++i)
                text += (i > 1 ? ", " : " ") + toUtf8(inserts[i]);
            text += ".";
        }
    }
    char head[96];
    std::snprintf(head, sizeof head, "%12.7f s  %-11s  %-8s  %5u  ", static_cast<double>(record.time) / 1e7,
                  record.type().c_str(), record.source.c_str(), record.eventId());
    return head + text;
}

std::string EventLog::renderAll() const {
    std::string out;
    for (const auto& record : records_)
        out += render(record) + "\n";
    return out;
}

} // namespace nt
