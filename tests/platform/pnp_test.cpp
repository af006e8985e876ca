// Device stacks, the plug-and-play manager and the power manager of the Windows 2000 machine, with a
// bus stand-in below and a small function driver written here above it.
#include "kernel_fixture.h"

#include "platform/nt/userio.h"
#include "platform/w2k/pnp.h"

#include <map>
#include <string>
#include <vector>

namespace {

// A function driver that records what reaches it, passes everything down, and can be told to refuse a
// query or to forget PoStartNextPowerIrp.
struct Recorder {
    static std::vector<std::string> log;
    static PDEVICE_OBJECT refuseQueryRemoveOf; // the device whose driver refuses a query remove
    static bool forgetStartNext;
    static PDEVICE_OBJECT lastAdded;
    static std::map<PDEVICE_OBJECT, std::string> labels; // by physical device object

    struct Extension {
        PDEVICE_OBJECT lower;
        PDEVICE_OBJECT pdo;
    };
    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        PDEVICE_OBJECT fdo = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        if (!NT_SUCCESS(status))
            return status;
        auto* extension = static_cast<Extension*>(fdo->DeviceExtension);
        extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        extension->pdo = pdo;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        lastAdded = fdo;
        return STATUS_SUCCESS;
    }
    static NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
        auto* extension = static_cast<Extension*>(fdo->DeviceExtension);
        PDEVICE_OBJECT lower = extension->lower;
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        log.push_back("pnp " + std::to_string(minor) + " " + labels[extension->pdo]);
        if (minor == IRP_MN_QUERY_REMOVE_DEVICE && refuseQueryRemoveOf == extension->pdo) {
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    }
    static NTSTATUS Power(PDEVICE_OBJECT fdo, PIRP irp) {
        log.push_back("power " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
        if (!forgetStartNext)
            PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(static_cast<Extension*>(fdo->DeviceExtension)->lower, irp);
    }
    static NTSTATUS Create(PDEVICE_OBJECT, PIRP irp) {
        log.push_back("create");
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
};
std::vector<std::string> Recorder::log;
PDEVICE_OBJECT Recorder::refuseQueryRemoveOf = nullptr;
std::map<PDEVICE_OBJECT, std::string> Recorder::labels;
bool Recorder::forgetStartNext = false;
PDEVICE_OBJECT Recorder::lastAdded = nullptr;

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    IoDriverExtension(driver)->AddDevice = Recorder::AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = Recorder::Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Recorder::Power;
    driver->MajorFunction[IRP_MJ_CREATE] = Recorder::Create;
    driver->MajorFunction[IRP_MJ_CLOSE] = Recorder::Create;
    return STATUS_SUCCESS;
}

class PnpTest : public KernelTest {
protected:
    PnpTest() {
        Recorder::log.clear();
        Recorder::labels.clear();
        Recorder::refuseQueryRemoveOf = nullptr;
        Recorder::forgetStartNext = false;
        kernel.services().registerImage("Recorder.sys", "Recorder", RecorderEntry);
        kernel.services().install("Recorder", "Recorder.sys");
        EXPECT_TRUE(kernel.registry().loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\TEST#CARD]
"Service"="Recorder"
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
)",
                                               "cdd.reg"));
        manager.addBus(bus);
    }
    ~PnpTest() override { manager.shutdown(); }

    // A device of the bus; with `children`, a bus of its own that needs no driver.
    PDEVICE_OBJECT Device(std::u16string id, std::u16string instance, bool driver = true) {
        w2k::BusDevice device;
        device.deviceId = id;
        device.instanceId = instance;
        device.hardwareIds = {driver ? u"TEST\\CARD" : id};
        device.rawDeviceOk = !driver;
        PDEVICE_OBJECT pdo = bus.create(device);
        Recorder::labels[pdo] = nt::toUtf8(id);
        return pdo;
    }

    w2k::PnpManager manager{kernel};
    w2k::BusStandIn bus{kernel, u"TestBus", u"TestBus"};
};

// A completion routine that counts itself and may keep the request.
struct Completion {
    int calls = 0;
    bool keep = false;
    static NTSTATUS Routine(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto* self = static_cast<Completion*>(context);
        ++self->calls;
        return self->keep ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
    }
};

TEST_F(PnpTest, CompletionRoutinesRunOnTheWayUpAndMayKeepTheRequest) {
    PDEVICE_OBJECT pdo = Device(u"TEST\\ONE", u"1");
    manager.addRootDevice(pdo);
    manager.boot();
    ASSERT_TRUE(Recorder::lastAdded);
    // A request built for the two-device stack, its completion routine set by the upper device.
    Completion completion;
    completion.keep = true;
    bool completedAtTop = false;
    auto request = kernel.io().issueSystem(
        pdo, IRP_MJ_PNP, STATUS_NOT_SUPPORTED,
        [](IO_STACK_LOCATION& s) {
            s.MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
            s.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
        },
        [&](nt::IoRequest&) { completedAtTop = true; });
    EXPECT_TRUE(completedAtTop) << "no routine set: the request completes up to the top";
    (void)request;

    // Now with a routine that keeps the request: the completion stops until it is completed again.
    struct Keeper {
        Completion* completion;
        PDEVICE_OBJECT lower;
        static NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
            auto* self = static_cast<Keeper*>(device->DeviceExtension);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Completion::Routine, self->completion, TRUE, TRUE, TRUE);
            // The request is finished later, by this driver: it stays pending meanwhile.
            IoMarkIrpPending(irp);
            IoCallDriver(self->lower, irp);
            return STATUS_PENDING;
        }
    };
    DRIVER_OBJECT upper{};
    upper.Type = IO_TYPE_DRIVER;
    upper.MajorFunction[IRP_MJ_PNP] = Keeper::Pnp;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoCreateDevice(&upper, sizeof(Keeper), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top),
              STATUS_SUCCESS);
    auto* keeper = static_cast<Keeper*>(top->DeviceExtension);
    keeper->completion = &completion;
    keeper->lower = IoAttachDeviceToDeviceStack(top, pdo);
    EXPECT_EQ(keeper->lower, Recorder::lastAdded) << "attached to the top of the stack";
    completedAtTop = false;
    auto kept = kernel.io().issueSystem(
        pdo, IRP_MJ_PNP, STATUS_NOT_SUPPORTED,
        [](IO_STACK_LOCATION& s) {
            s.MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
            s.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
        },
        [&](nt::IoRequest&) { completedAtTop = true; });
    EXPECT_EQ(completion.calls, 1);
    EXPECT_FALSE(completedAtTop) << "STATUS_MORE_PROCESSING_REQUIRED stopped the completion";
    EXPECT_EQ(Recorder::log.back(), "pnp 7 TEST\\ONE") << "the request went down through the function driver";
    // The upper driver finishes with the request: the completion goes on from there.
    ASSERT_TRUE(kept->irp);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(kept->irp->IoStatus.Information);
    ASSERT_TRUE(relations);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
    kept->irp->IoStatus.Information = 0;
    IoCompleteRequest(kept->irp, IO_NO_INCREMENT);
    EXPECT_TRUE(completedAtTop);
    EXPECT_EQ(completion.calls, 1) << "a routine runs once";
    IoDetachDevice(keeper->lower);
    IoDeleteDevice(top);
}

TEST_F(PnpTest, ARefusedQueryRemoveIsCancelledForThoseAlreadyAsked) {
    PDEVICE_OBJECT first = Device(u"TEST\\FIRST", u"1");
    PDEVICE_OBJECT second = Device(u"TEST\\SECOND", u"1");
    PDEVICE_OBJECT parentPdo = Device(u"TEST\\BUS", u"0", false);
    bus.recordOf(parentPdo)->children = [=] { return std::vector<PDEVICE_OBJECT>{first, second}; };
    manager.addRootDevice(parentPdo);
    manager.boot();
    w2k::DeviceNode* parent = manager.nodeOf(parentPdo);
    ASSERT_EQ(parent->children.size(), 2u);
    Recorder::refuseQueryRemoveOf = second;
    Recorder::log.clear();
    w2k::PnpResult result = manager.remove(*parent);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.vetoedBy, manager.nodeOf(second));
    EXPECT_EQ(Recorder::log,
              (std::vector<std::string>{"pnp 1 TEST\\FIRST", "pnp 1 TEST\\SECOND", "pnp 3 TEST\\FIRST"}))
        << "the first child, asked before the refusal, hears that the remove is off";
    EXPECT_EQ(manager.nodeOf(first)->state, w2k::NodeState::Started);
    EXPECT_EQ(parent->state, w2k::NodeState::Started);

    Recorder::refuseQueryRemoveOf = nullptr;
    Recorder::log.clear();
    ASSERT_TRUE(manager.remove(*parent).ok());
    EXPECT_EQ(Recorder::log, (std::vector<std::string>{"pnp 1 TEST\\FIRST", "pnp 1 TEST\\SECOND",
                                                       "pnp 2 TEST\\FIRST", "pnp 2 TEST\\SECOND"}))
        << "every query before the first remove";
    EXPECT_FALSE(kernel.services().running("Recorder")) << "its last device gone, the driver unloads";
}

TEST_F(PnpTest, AnInterfaceLeadsToTheTopOfItsStackAndGoesWithTheDevice) {
    PDEVICE_OBJECT pdo = Device(u"TEST\\ONE", u"1");
    manager.addRootDevice(pdo);
    manager.boot();
    const GUID guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(Text(link), u"\\??\\TEST#ONE#1#{12345678-1234-5678-0102-030405060708}");
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(Text(again), Text(link)) << "one interface per device and class";
    RtlFreeUnicodeString(&again);
    std::unique_ptr<nt::UserFile> file;
    EXPECT_EQ(nt::UserFile::open(kernel, "\\\\?\\TEST#ONE#1#{12345678-1234-5678-0102-030405060708}", file),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "not enabled yet";
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    Recorder::log.clear();
    ASSERT_EQ(nt::UserFile::open(kernel, "\\\\?\\TEST#ONE#1#{12345678-1234-5678-0102-030405060708}", file),
              STATUS_SUCCESS);
    EXPECT_EQ(Recorder::log, (std::vector<std::string>{"create"})) << "the function driver got the open";
    file->close();
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    RtlFreeUnicodeString(&link);
    ASSERT_TRUE(manager.remove(*manager.nodeOf(pdo)).ok());
    ASSERT_EQ(manager.interfaces().size(), 1u);
    EXPECT_FALSE(manager.interfaces()[0]->enabled) << "the manager disables what a removed device left";
    EXPECT_FALSE(kernel.io().linkTarget(u"\\??\\TEST#ONE#1#{12345678-1234-5678-0102-030405060708}"));
}

TEST_F(PnpTest, PropertiesAndKeysOfADevice) {
    PDEVICE_OBJECT pdo = Device(u"TEST\\ONE", u"1");
    bus.recordOf(pdo)->location = u"slot 3";
    bus.recordOf(pdo)->legacyBus = PCIBus;
    manager.addRootDevice(pdo);
    manager.boot();
    WCHAR buffer[8];
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof buffer, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, sizeof(u"TEST\\CARD") + sizeof(WCHAR)) << "a multi-string with its two terminators";
    std::vector<WCHAR> ids(length / 2);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length, ids.data(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.data()), u"TEST\\CARD");
    ULONG bus = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyLegacyBusType, sizeof bus, &bus, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(bus, static_cast<ULONG>(PCIBus));
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(kernel.registry().exists(
        "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\TEST\\ONE\\1\\Device Parameters"));
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(kernel.registry().exists("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                                         "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000"));
}

TEST_F(PnpTest, SleepGoesDownChildrenFirstAndAMissingStartNextIsCounted) {
    PDEVICE_OBJECT child = Device(u"TEST\\CHILD", u"1");
    PDEVICE_OBJECT parentPdo = Device(u"TEST\\BUS", u"0", false);
    bus.recordOf(parentPdo)->children = [child] { return std::vector<PDEVICE_OBJECT>{child}; };
    manager.addRootDevice(parentPdo);
    manager.boot();
    manager.clearRequestLog();
    ASSERT_TRUE(manager.sleep().ok());
    std::vector<std::string> sets;
    for (const auto& line : manager.requestLog())
        if (line.rfind("set-power D", 0) == 0)
            sets.push_back(line);
    EXPECT_EQ(sets, (std::vector<std::string>{"set-power D3 TEST\\CHILD", "set-power D3 TEST\\BUS"}));
    EXPECT_EQ(manager.nodeOf(child)->devicePower, PowerDeviceD3) << "the bus set the state it reached";
    EXPECT_EQ(manager.powerIrpsWithoutStartNext(), 0u);
    Recorder::forgetStartNext = true;
    ASSERT_TRUE(manager.wake().ok());
    EXPECT_EQ(manager.powerIrpsWithoutStartNext(), 2u) << "the child's set-power D0 and S0 passed its driver";
    EXPECT_EQ(manager.nodeOf(child)->devicePower, PowerDeviceD0);
}

} // namespace
