// CvNt's configuration steps on a registry tree written as .reg text under the driver's service key,
// with event logging registered so that every message can be read back as the event log renders it.
#pragma once

#include "driver_fixture.h"

#include "CvErrorLog.h"
#include "CvRegistry.h"
#include "cvntmsg.h"

#include <string>
#include <vector>

inline const std::string kServiceKeyPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt";
inline const std::string kRegServiceKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";

class ConfigTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
        driver.Type = IO_TYPE_DRIVER;
        servicePath16 = nt::toUtf16(kServiceKeyPath);
        RtlInitUnicodeString(&servicePath, servicePath16.c_str());
        kernel.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
    }

    // Loads `body` (keys relative to the service key written as "[S\...]", or "[S]") and registers
    // the driver's event logging with every message admitted.
    void Load(const std::string& body) {
        std::string text =
            "Windows Registry Editor Version 5.00\n\n[" + kRegServiceKey + "]\n\"LogLevel\"=dword:3\n";
        size_t at = 0;
        std::string expanded = body;
        while ((at = expanded.find("[S", at)) != std::string::npos) {
            expanded.replace(at, 2, "[" + kRegServiceKey);
            at += kRegServiceKey.size();
        }
        auto result = kernel.registry().loadText(text + expanded, "test.reg");
        ASSERT_TRUE(result) << result.error;
        ASSERT_EQ(RegisterEventLogging(&driver, &servicePath), STATUS_SUCCESS);
        kernel.eventLog().clear();
    }

    // The texts of the entries written so far, without the rendered header and line end.
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& record : kernel.eventLog().records()) {
            std::string line = kernel.eventLog().render(record).substr(46);
            line.erase(0, line.find_first_not_of(' '));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            out.push_back(line);
        }
        return out;
    }

    std::u16string servicePath16;
    UNICODE_STRING servicePath{};
    DRIVER_OBJECT driver{};
};

// Records of a list in order.
template <typename Record>
std::vector<Record*> Records(CCvLinkedList* list) {
    std::vector<Record*> out;
    if (!list)
        return out;
    for (PVOID p = list->GetStartNode(sizeof(Record)); p; p = list->GetNextNode(sizeof(Record)))
        out.push_back(static_cast<Record*>(p));
    return out;
}

inline std::string Text(const UNICODE_STRING& s) {
    return s.Buffer ? nt::toUtf8(std::u16string(s.Buffer, s.Length / 2)) : std::string();
}
