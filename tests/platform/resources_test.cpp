// The resource arbiter behind IoAssignResources: claims, conflicts, the search within a range, release,
// and what the resource map shows.
#include "platform/bus_ranges.h"
#include "kernel_fixture.h"

#include "hw/pci.h"

#include <cstring>
#include <vector>

namespace {

const std::string kMap = "\\Registry\\Machine\\HARDWARE\\RESOURCEMAP";

// A requirements list of `descriptors`, laid out as the structure's trailing arrays expect.
struct Requirements {
    std::vector<uint8_t> bytes;
    PIO_RESOURCE_REQUIREMENTS_LIST get() {
        return reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(bytes.data());
    }
};

Requirements Make(std::vector<IO_RESOURCE_DESCRIPTOR> descriptors) {
    Requirements r;
    size_t size = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors) +
                  descriptors.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    r.bytes.assign(size, 0);
    auto* list = r.get();
    list->ListSize = static_cast<ULONG>(size);
    list->InterfaceType = Isa;
    list->AlternativeLists = 1;
    list->List[0].Version = list->List[0].Revision = 1;
    list->List[0].Count = static_cast<ULONG>(descriptors.size());
    std::memcpy(list->List[0].Descriptors, descriptors.data(),
                descriptors.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
    return r;
}

IO_RESOURCE_DESCRIPTOR Port(ULONG minimum, ULONG maximum, ULONG length, ULONG alignment, UCHAR option = 0) {
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Length = length;
    d.u.Port.Alignment = alignment;
    d.u.Port.MinimumAddress.QuadPart = minimum;
    d.u.Port.MaximumAddress.QuadPart = maximum;
    return d;
}

IO_RESOURCE_DESCRIPTOR Irq(ULONG vector, bool shared) {
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_INTERRUPT_LATCHED;
    d.u.Interrupt.MinimumVector = d.u.Interrupt.MaximumVector = vector;
    return d;
}

class ResourceTest : public KernelTest {
protected:
    void SetUp() override {
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
        driver.Type = IO_TYPE_DRIVER;
        for (auto [name, device] : {std::pair{u"\\Device\\CardA", &a}, std::pair{u"\\Device\\CardB", &b}}) {
            UNICODE_STRING n;
            RtlInitUnicodeString(&n, name);
            ASSERT_EQ(IoCreateDevice(&driver, 0, &n, FILE_DEVICE_SERIAL_PORT, 0, TRUE, device),
                      STATUS_SUCCESS);
        }
    }
    void TearDown() override {
        IoDeleteDevice(a);
        IoDeleteDevice(b);
    }

    NTSTATUS Claim(PDEVICE_OBJECT device, Requirements& r, PCM_RESOURCE_LIST* out) {
        UNICODE_STRING path = Us(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt");
        UNICODE_STRING cls = Us(u"Corvane");
        return IoAssignResources(&path, &cls, &driver, device, r.get(), out);
    }

    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT a = nullptr, b = nullptr;
};

TEST_F(ResourceTest, AClaimIsAssignedPublishedAndReleased) {
    auto r = Make({Port(0x300, 0x307, 8, 8), Irq(5, false)});
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(Claim(a, r, &list), STATUS_SUCCESS);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, 1u);
    const auto& partial = list->List[0].PartialResourceList;
    ASSERT_EQ(partial.Count, 2u);
    EXPECT_EQ(partial.PartialDescriptors[0].Type, CmResourceTypePort);
    EXPECT_EQ(partial.PartialDescriptors[0].u.Port.Start.QuadPart, 0x300);
    EXPECT_EQ(partial.PartialDescriptors[1].u.Interrupt.Vector, 5u);
    ExFreePool(list);

    const std::string key = kMap + "\\Corvane\\CvNt";
    auto raw = kernel.registry().value(key, "\\Device\\CardA.Raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, (uint32_t)REG_RESOURCE_LIST);
    EXPECT_EQ(raw->data.size(), 20u + 2 * 16);
    EXPECT_TRUE(kernel.registry().value(key, "\\Device\\CardA.Translated"));

    // No requirements: the claim goes, and the keys it made with it.
    UNICODE_STRING path = Us(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt");
    ASSERT_EQ(IoAssignResources(&path, nullptr, &driver, a, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(kernel.resources().claims().empty());
    EXPECT_FALSE(kernel.registry().exists(kMap + "\\Corvane"));
    EXPECT_EQ(kernel.pool().liveCount("system"), 0u);
}

TEST_F(ResourceTest, ConflictsAreRefusedUnlessBothSidesShare) {
    auto first = Make({Port(0x300, 0x307, 8, 8), Irq(5, true)});
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(Claim(a, first, &list), STATUS_SUCCESS);
    ExFreePool(list);

    auto overlap = Make({Port(0x304, 0x30B, 8, 1)});
    EXPECT_EQ(Claim(b, overlap, &list), STATUS_CONFLICTING_ADDRESSES);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(kernel.resources().claims().size(), 1u) << "a refused claim changes nothing";

    auto exclusiveIrq = Make({Irq(5, false)});
    EXPECT_EQ(Claim(b, exclusiveIrq, &list), STATUS_CONFLICTING_ADDRESSES);
    auto sharedIrq = Make({Irq(5, true)});
    ASSERT_EQ(Claim(b, sharedIrq, &list), STATUS_SUCCESS);
    ExFreePool(list);

    // Within a range, the first free aligned place; an alternative stands in for a refused request.
    auto search = Make({Port(0x300, 0x31F, 8, 8)});
    ASSERT_EQ(Claim(b, search, &list), STATUS_SUCCESS);
    EXPECT_EQ(list->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart, 0x308);
    ExFreePool(list);
    EXPECT_EQ(kernel.resources().claims().size(), 2u) << "the device's new claim replaced its old one";

    auto alternative = Make({Port(0x300, 0x307, 8, 8), Port(0x3E8, 0x3EF, 8, 8, IO_RESOURCE_ALTERNATIVE)});
    ASSERT_EQ(Claim(b, alternative, &list), STATUS_SUCCESS);
    EXPECT_EQ(list->List[0].PartialResourceList.Count, 1u);
    EXPECT_EQ(list->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart, 0x3E8);
    ExFreePool(list);

    auto full = Make({Port(0x300, 0x307, 8, 8)});
    EXPECT_EQ(Claim(b, full, &list), STATUS_CONFLICTING_ADDRESSES) << "no place left in the range";
}

TEST_F(ResourceTest, TheSerialCountIsTheKernels) {
    IoGetConfigurationInformation()->SerialCount = 2;
    EXPECT_EQ(kernel.configuration().SerialCount, 2u);
    EXPECT_EQ(IoGetConfigurationInformation(), &kernel.configuration());
}

TEST_F(ResourceTest, SlotResourcesListTheInterruptThenEveryWindowAndCanBeMadeToFail) {
    hw::PciCardLayout layout;
    layout.window2 = 0xE400;
    layout.interruptLine = 10;
    hw::PciSerialCard card(layout);
    kernel.pci().plug(0, 5, 0, card);
    UNICODE_STRING cls = Us(u"Corvane");
    PCM_RESOURCE_LIST list = nullptr;
    kernel.hal().slotAssignmentFailures = 2;
    EXPECT_NE(HalAssignSlotResources(nullptr, &cls, &driver, a, PCIBus, 0, 5, &list), STATUS_SUCCESS);
    EXPECT_NE(HalAssignSlotResources(nullptr, &cls, &driver, a, PCIBus, 0, 5, &list), STATUS_SUCCESS);
    ASSERT_EQ(HalAssignSlotResources(nullptr, &cls, &driver, a, PCIBus, 0, 5, &list), STATUS_SUCCESS);
    ASSERT_EQ(list->Count, 1u);
    const auto& partial = list->List[0].PartialResourceList;
    ASSERT_EQ(partial.Count, 5u);
    EXPECT_EQ(partial.PartialDescriptors[0].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(partial.PartialDescriptors[0].u.Interrupt.Level, 10u);
    EXPECT_EQ(partial.PartialDescriptors[1].Type, CmResourceTypeMemory);
    EXPECT_EQ(partial.PartialDescriptors[2].u.Port.Start.QuadPart, 0xEC00) << "bridge I/O window";
    EXPECT_EQ(partial.PartialDescriptors[3].u.Port.Start.QuadPart, 0xE800) << "UART window";
    EXPECT_EQ(partial.PartialDescriptors[3].u.Port.Length, 32u);
    EXPECT_EQ(partial.PartialDescriptors[4].u.Port.Start.QuadPart, 0xE400) << "second window";
    EXPECT_EQ(partial.PartialDescriptors[4].Flags, CM_RESOURCE_PORT_IO);
    ExFreePool(list);
    EXPECT_EQ(HalAssignSlotResources(nullptr, &cls, &driver, b, PCIBus, 0, 5, &list),
              STATUS_CONFLICTING_ADDRESSES)
        << "another device cannot claim the same windows";
    EXPECT_EQ(HalAssignSlotResources(nullptr, &cls, &driver, b, PCIBus, 0, 6, &list), STATUS_NO_SUCH_DEVICE);
    IoAssignResources(nullptr, nullptr, &driver, a, nullptr, nullptr);
}

TEST_F(ResourceTest, TranslationAndInterruptVectors) {
    BusRanges ranges;
    ranges.inMemorySpace.push_back({0xD000, 0x100});
    ranges.untranslatable.push_back({0xC000, 0x10});
    ranges.install(kernel);
    PHYSICAL_ADDRESS bus, translated;
    ULONG space = 1;
    bus.QuadPart = 0x300;
    ASSERT_TRUE(HalTranslateBusAddress(Isa, 0, bus, &space, &translated));
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(translated.QuadPart, 0x300);
    bus.QuadPart = 0xD008;
    ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
    EXPECT_EQ(space, 0u) << "this machine maps that window into memory space";
    space = 1;
    bus.QuadPart = 0xC004;
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));

    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    EXPECT_EQ(HalGetInterruptVector(Isa, 0, 4, 4, &irql, &affinity), 0x34u);
    EXPECT_EQ(irql, 23);
    EXPECT_EQ(affinity, 1u);
}

} // namespace
