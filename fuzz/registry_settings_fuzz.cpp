// Random configuration trees for CvNt's reading step: keys under the three branches (with gaps), value
// names the driver reads and others, every value type, odd sizes and contents. The reading must not
// crash or stop the verifier, no record that breaks a rule may survive validation, every template that
// is dropped must be logged, and nothing may stay in the pool once the lists are deleted.
#include "CvErrorLog.h"
#include "CvRegistry.h"
#include "CvResourceKiller.h"
#include "cvntmsg.h"
#include "platform/nt/kernel.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t dword() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_, at_ = 0;
};

const char* const kNames[] = {"VendorID",        "DeviceID",         "ClockFrequency", "ClockFrequencyAdjustment",
                              "nComPorts",       "nLptPorts",        "Description",    "BaseAddressAlignment",
                              "PlxBaudClockType", "PlxBaudClockDivisor", "PlxBaudClockOffset", "CtsTrue",
                              "DuplexOperation", "UartType",         "RxTriggerLevel", "TxTriggerLevel",
                              "SoftTxLimit",     "nBus",             "nSlot",          "SisrAddress",
                              "InterruptLevel",  "BaseAddress",      "BaseAddressRange", "nCom",
                              "Duplexoperation", "Other"};
const char* const kBranches[] = {"\\Templates\\Bus5", "\\Parameters\\Bus5", "\\Parameters\\Bus1"};
const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt";

void AddValue(nt::Registry& registry, const std::string& key, Bytes& in) {
    std::string name = kNames[in.byte() % (sizeof kNames / sizeof *kNames)];
    uint8_t kind = in.byte() % 8;
    switch (kind) {
    case 0:
    case 1:
    case 2: // mostly well-formed numbers, small ones and boundary ones
        registry.setDword(key, name, kind == 0 ? in.byte() % 10 : in.dword());
        break;
    case 3: {
        std::string text;
        size_t length = in.byte() % 4 == 0 ? 250 + in.byte() % 12 : in.byte() % 20;
        for (size_t i = 0; i < length; ++i)
            text += static_cast<char>('A' + in.byte() % 26);
        registry.setString(key, name, text, in.byte() % 2 ? REG_SZ : REG_EXPAND_SZ);
        break;
    }
    case 4: {
        std::vector<uint8_t> data(in.byte() % 12);
        for (auto& b : data)
            b = in.byte();
        registry.setValue(key, name, REG_BINARY, data);
        break;
    }
    case 5: {
        std::vector<uint8_t> data(in.byte() % 9);
        for (auto& b : data)
            b = in.byte();
        registry.setValue(key, name, REG_DWORD, data); // a DWORD of the wrong size
        break;
    }
    case 6:
        registry.setMultiString(key, name, {"COM", "x"});
        break;
    default:
        registry.setValue(key, name, REG_NONE, {});
        break;
    }
}

bool TemplateValid(const TemplatesCardStruct& t) {
    bool ok = t.ClockFrequency && t.DeviceID && t.VendorID && t.nComPorts >= 1 && t.nComPorts <= 8 &&
              t.BaseAddressAlignment && t.Description.Length && t.nLptPorts != -1 && t.RxTriggerLevel != -1 &&
              t.TxTriggerLevel != -1 && t.SoftTxLimit != -1 && t.ClockFrequencyAdjustment != 0 &&
              t.Description.MaximumLength == t.Description.Length + 2;
    if (t.PlxBaudClockType == 1 || t.PlxBaudClockType == 2)
        ok = ok && t.PlxBaudClockDivisor && t.PlxBaudClockOffset;
    if (t.PlxBaudClockType == 3)
        ok = ok && t.DuplexOperation != -1 && t.PlxBaudClockDivisor && t.CtsTrue != -1;
    return ok && (t.UartType == 0 || t.UartType == 4 || t.UartType == 5 || t.UartType == 7 || t.UartType == 9);
}

template <typename Record>
std::vector<Record*> Records(CCvLinkedList* list) {
    std::vector<Record*> out;
    for (PVOID p = list->GetStartNode(sizeof(Record)); p; p = list->GetNextNode(sizeof(Record)))
        out.push_back(static_cast<Record*>(p));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, "CvNt");
    kernel.setVerifierHandler([](const std::string&) { std::abort(); });
    if (ConstructResourceKiller() != STATUS_SUCCESS)
        std::abort();
    kernel.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
    kernel.registry().create(kService);
    kernel.registry().setDword(kService, "LogLevel", 3);

    Bytes in(data, size);
    size_t templateKeys = 0; // read before the first gap
    bool templateGap = false;
    for (unsigned b = 0; b < 3 && !in.empty(); ++b) {
        if (in.byte() % 5 == 0)
            continue; // the branch is missing
        std::string branch = kService + kBranches[b];
        kernel.registry().create(branch);
        unsigned cards = in.byte() % 5;
        for (unsigned c = 1; c <= cards; ++c) {
            unsigned number = in.byte() % 8 == 0 ? c + 1 : c; // sometimes a gap
            if (b == 0 && !templateGap) {
                if (number != c)
                    templateGap = true;
                else
                    ++templateKeys;
            }
            std::string card = branch + "\\Card" + std::to_string(number);
            kernel.registry().create(card);
            for (unsigned v = in.byte() % 18; v > 0; --v)
                AddValue(kernel.registry(), card, in);
            if (b == 0)
                continue;
            for (unsigned p = 1, ports = in.byte() % 4; p <= ports; ++p) {
                std::string port = card + "\\ComPort" + std::to_string(in.byte() % 6 == 0 ? p + 1 : p);
                kernel.registry().create(port);
                for (unsigned v = in.byte() % 10; v > 0; --v)
                    AddValue(kernel.registry(), port, in);
            }
        }
    }
    // Low memory now and then: one allocation of the read fails.
    const uint8_t lowMemory = in.byte();
    const bool armed = lowMemory % 4 == 0;

    DRIVER_OBJECT driver{};
    RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
    driver.Type = IO_TYPE_DRIVER;
    std::u16string path = nt::toUtf16(kService);
    UNICODE_STRING servicePath;
    RtlInitUnicodeString(&servicePath, path.c_str());
    if (RegisterEventLogging(&driver, &servicePath) != STATUS_SUCCESS)
        std::abort();
    kernel.eventLog().clear();
    const size_t baseline = kernel.pool().liveCount("CvNt");
    if (armed)
        kernel.pool().failNth(1 + lowMemory / 4, "CvNt");

    PciBusStruct pci{};
    IsaBusStruct isa{};
    NTSTATUS status = GetRegistrySettings(&servicePath, &pci, &isa);
    kernel.pool().clearFailures();
    if (status == STATUS_SUCCESS) {
        auto templates = Records<TemplatesCardStruct>(pci.pTemplatesCardList);
        for (auto* t : templates)
            if (!TemplateValid(*t))
                std::abort();
        for (CCvLinkedList* list : {pci.pParametersCardList, isa.pParametersCardList})
            for (auto* card : Records<ParametersCardStruct>(list)) {
                auto ports = Records<ParametersCardPortStruct>(card->pParametersCardPortList);
                if (ports.empty() || !card->uniPathToCard.Buffer)
                    std::abort();
                for (auto* port : ports)
                    if (port->nCom == -1 || !port->uniPathToPort.Buffer ||
                        (list == isa.pParametersCardList &&
                         (!port->nCom || !port->ulBaseAddress || !port->ulBaseAddressRange ||
                          !port->ulBaseAddressAlignment || port->SoftTxLimit == -1)))
                        std::abort();
                if (list == pci.pParametersCardList && (!card->VendorID || !card->DeviceID || card->nBus == -1))
                    std::abort();
                if (list == isa.pParametersCardList && !card->ClockFrequency)
                    std::abort();
            }
        // Every template read is either kept or dropped with its message, unless the branch was unreadable
        // (or memory ran out, which may also cost a message).
        size_t dropped = 0;
        bool unreadable = false;
        for (const auto& record : kernel.eventLog().records()) {
            uint16_t id = record.eventId();
            if (id == (CVNT_PCI_TEMPLATE_VALUES_INVALID & 0xFFFF) || id == (CVNT_TEMPLATE_DEVICE_ID_MISSING & 0xFFFF))
                ++dropped;
            if (id == (CVNT_PCI_TEMPLATES_READ_ERROR & 0xFFFF))
                unreadable = true;
        }
        if (!unreadable && !armed && templates.size() + dropped != templateKeys)
            std::abort();
    } else if (status != CV_STATUS_SEVERE) {
        std::abort();
    }
    DeleteRegistrySettings(&pci, &isa);
    if (kernel.pool().liveCount("CvNt") != baseline)
        std::abort();
    deleteall();
    DestructResourceKiller();
    pDriverObject = nullptr;
    ulMinID = ulMaxID = 0;
    return 0;
}
