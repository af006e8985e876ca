// CvNt's configuration steps on a registry tree written as .reg text under the driver's service key,
// with event logging registered so that every message can be read back as the event log renders it.
#pragma once

#include "driver_fixture.h"

#include "CvErrorLog.h"
#include "CvPortList.h"
#include "CvRegistry.h"
#include "cvntmsg.h"
#include "hw/pci.h"

#include <memory>
#include <new>
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

inline std::string TemplateKey(int n, uint32_t deviceId, int ports = 4) {
    char text[400];
    std::snprintf(text, sizeof text, R"(
[S\Templates\Bus5\Card%d]
"VendorID"=dword:000010b5
"DeviceID"=dword:%08x
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:%d
"nLptPorts"=dword:0
"Description"="Corvane %x"
"BaseAddressAlignment"=dword:8
"PlxBaudClockType"=dword:1
"PlxBaudClockDivisor"=dword:1
"PlxBaudClockOffset"=dword:50
"CtsTrue"=dword:8
"DuplexOperation"=dword:3
)",
                  n, deviceId, ports, deviceId);
    return text;
}

class BusTest : public ConfigTest {
protected:
    void TearDown() override {
        DropPorts();
        DeleteList(functions, sizeof(PciDeviceStruct));
        DeleteList(ports, sizeof(CCvDeviceStruct));
        DeleteRegistrySettings(&pci, &isa);
        ConfigTest::TearDown();
    }

    static void DeleteList(CCvLinkedList*& list, ULONG size) {
        if (!list)
            return;
        list->DeleteAllNodes(size);
        CvImageFree(list);
        list = nullptr;
    }

    void DropPorts() {
        for (auto* node : Records<CCvDeviceStruct>(ports)) {
            if (!node->pClass)
                continue;
            node->pClass->~CCvDevice();
            CvImageFree(node->pClass);
            node->pClass = nullptr;
        }
    }

    hw::PciSerialCard& Plug(uint32_t bus, unsigned device, unsigned function, uint16_t deviceId,
                            uint16_t uartWindow = 0xE800, bool memory = false) {
        hw::PciCardLayout layout;
        layout.deviceId = deviceId;
        layout.uartWindow = uartWindow;
        layout.uartWindowInMemory = memory;
        layout.interruptLine = static_cast<uint8_t>(9 + cards.size());
        layout.bridgeIo = static_cast<uint16_t>(0xEC00 + 0x80 * cards.size());
        cards.push_back(std::make_unique<hw::PciSerialCard>(layout));
        kernel.pci().plug(bus, device, function, *cards.back());
        return *cards.back();
    }

    static CCvLinkedList* NewList() {
        return new (CvImageAllocate(PagedPool, sizeof(CCvLinkedList))) CCvLinkedList(PagedPool);
    }

    // Reads the tree, scans, matches; the steps up to building the port list.
    NTSTATUS ScanAndMatch(const std::string& body) {
        Load(body);
        EXPECT_EQ(GetRegistrySettings(&servicePath, &pci, &isa), STATUS_SUCCESS);
        kernel.eventLog().clear();
        functions = NewList();
        ports = NewList();
        EXPECT_EQ(FindDevicesOnPciBus(functions), STATUS_SUCCESS);
        return MatchPciDevicesWithTemplates(functions, pci.pTemplatesCardList);
    }

    std::vector<PciDeviceStruct*> Functions() { return Records<PciDeviceStruct>(functions); }
    std::vector<CCvDeviceStruct*> Ports() { return Records<CCvDeviceStruct>(ports); }

    PciBusStruct pci{};
    IsaBusStruct isa{};
    CCvLinkedList* functions = nullptr;
    CCvLinkedList* ports = nullptr;
    std::vector<std::unique_ptr<hw::PciSerialCard>> cards;
};
