// The system event log: error-log packets kept exactly as drivers wrote them, and a renderer that
// shows an entry as an event viewer would, with the message text from the source's message file.
#pragma once

#include "platform/nt/include/msgtable.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nt {

class Kernel;

struct EventRecord {
    uint64_t time = 0;  // virtual time at which the entry was written
    std::string source; // the driver's name as the event log shows it, e.g. "CvNt"
    std::vector<uint8_t> packet;

    uint32_t errorCode() const;
    uint16_t numberOfStrings() const;
    uint16_t stringOffset() const;
    std::vector<std::u16string> strings() const;
    // "Error", "Warning" or "Information" from the severity bits.
    std::string type() const;
    uint16_t eventId() const { return static_cast<uint16_t>(errorCode() & 0xFFFF); }
};

class EventLog {
public:
    explicit EventLog(Kernel& kernel);
    ~EventLog();

    void* allocateEntry(void* ioObject, uint8_t size);
    void writeEntry(void* entry);
    void freeEntry(void* entry);

    // While set, the I/O manager grants no entries (as when its log buffer is exhausted).
    void setRefuseEntries(bool refuse) { refuse_ = refuse; }
    size_t outstandingEntries() const { return outstanding_.size(); }

    const std::vector<EventRecord>& records() const { return records_; }
    void clear() { records_.clear(); }

    // Makes a message file (a driver file or IoLogMsg.dll) known to the renderer by its file name.
    void registerMessageFile(const std::string& fileName, const MESSAGE_TABLE& table);
    // The catalogue text of `id` for `source`, found through the source's "EventMessageFile".
    std::optional<std::u16string> messageText(const std::string& source, uint32_t id) const;
    // "time  type  source  id  text" with %1 and the insertion strings filled in.
    std::string render(const EventRecord& record) const;
    std::string renderAll() const;

private:
    struct Outstanding {
        std::string source;
        size_t size;
    };
    Kernel& kernel_;
    bool refuse_ = false;
    std::map<void*, Outstanding> outstanding_;
    std::vector<EventRecord> records_;
    std::map<std::string, MESSAGE_TABLE> files_; // key: lower-case file name
};

// Fills %1 .. %n of a message text; a text's trailing CR LF is dropped.
std::u16string formatMessage(std::u16string_view text, const std::vector<std::u16string>& inserts);

} // namespace nt
