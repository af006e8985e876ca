#include "platform/nt/io.h"

#include "platform/nt/kernel.h"
#include "platform/nt/registry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nt {

std::u16string canonicalObjectName(std::u16string_view name) {
    std::u16string out(name);
    const std::u16string_view dos = u"\\DosDevices\\";
    if (out.size() >= dos.size() && namesEqual(std::u16string_view(out).substr(0, dos.size()), dos))
        out = u"\\??\\" + out.substr(dos.size());
    for (char16_t& c : out)
        c = upcase(c);
    return out;
}

namespace {
std::u16string text(PUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

void freeIrp(PIRP irp) {
    std::free(irp);
}
} // namespace

IoManager::~IoManager() {
    for (auto& [irp, request] : requests_)
        freeIrp(irp);
}

PDEVICE_OBJECT IoManager::device(std::u16string_view name) const {
    std::u16string wanted = canonicalObjectName(name);
    for (const auto& [device, record] : devices_)
        if (!record.name.empty() && canonicalObjectName(record.name) == wanted)
            return device;
    return nullptr;
}

std::optional<std::u16string> IoManager::linkTarget(std::u16string_view link) const {
    auto it = links_.find(canonicalObjectName(link));
    if (it == links_.end())
        return std::nullopt;
    return it->second;
}

std::u16string IoManager::nameOf(PDEVICE_OBJECT device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? std::u16string() : it->second.name;
}

void IoManager::handleClosed(PDEVICE_OBJECT device) {
    auto it = handles_.find(device);
    if (it != handles_.end() && --it->second == 0) {
        handles_.erase(it);
        if (kernel_.deviceManager())
            kernel_.deviceManager()->lastHandleClosed(device);
    }
}

size_t IoManager::openHandles(PDRIVER_OBJECT driver) const {
    size_t count = 0;
    for (const auto& [device, handles] : handles_)
        if (devices_.count(device) && device->DriverObject == driver)
            count += handles;
    return count;
}

bool IoManager::exists(PDEVICE_OBJECT device) const {
    auto it = devices_.find(device);
    return it != devices_.end() && !it->second.deleted;
}

std::vector<std::u16string> IoManager::deviceNames() const {
    std::vector<std::u16string> names;
    for (const auto& [device, record] : devices_)
        if (!record.name.empty())
            names.push_back(record.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::u16string> IoManager::linkNames() const {
    std::vector<std::u16string> names;
    for (const auto& [name, target] : links_)
        names.push_back(name);
    return names;
}

std::string IoManager::imageOf(PDEVICE_OBJECT device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? kernel_.currentImage() : it->second.image;
}

NTSTATUS IoManager::createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                                 ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* result) {
    std::u16string deviceName = text(name);
    if (!deviceName.empty() && device(deviceName))
        return STATUS_OBJECT_NAME_COLLISION;
    // The object directories are \Device and its like: a name with a further backslash names a
    // directory that does not exist.
    if (!deviceName.empty() && deviceName.find(u'\\', deviceName.find(u'\\', 1) + 1) != std::u16string::npos)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    auto memory = std::make_unique<uint8_t[]>(header + extensionSize);
    std::memset(memory.get(), 0, header + extensionSize);
    auto* object = reinterpret_cast<PDEVICE_OBJECT>(memory.get());
    object->Type = IO_TYPE_DEVICE;
    object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    object->DriverObject = driver;
    object->DeviceExtension = extensionSize ? memory.get() + header : nullptr;
    object->DeviceType = type;
    object->Characteristics = characteristics;
    object->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    object->StackSize = 1;
    if (driver) {
        object->NextDevice = driver->DeviceObject;
        driver->DeviceObject = object;
    }
    devices_[object] = DeviceRecord{deviceName, kernel_.currentImage(), std::move(memory)};
    *result = object;
    return STATUS_SUCCESS;
}

bool IoManager::hasRequests(PDEVICE_OBJECT device) const {
    for (const auto& [irp, request] : requests_) {
        if (request->device == device)
            return true;
        auto* base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        for (int i = 0; i < irp->StackCount; ++i)
            if (base[i].DeviceObject == device)
                return true;
    }
    return false;
}

void IoManager::deleteDevice(PDEVICE_OBJECT object) {
    auto it = devices_.find(object);
    if (it == devices_.end() || it->second.deleted)
        kernel_.verifierStop("IoDeleteDevice", "not a device object");
    if (object->AttachedDevice)
        kernel_.verifierStop("IoDeleteDevice", "a device is still attached to it");
    if (PDRIVER_OBJECT driver = object->DriverObject) {
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == object) {
                *link = object->NextDevice;
                break;
            }
        }
    }
    // A device deleted while a request passes through it (a remove request) stays in memory, nameless,
    // until the request has finished, as its reference count keeps it on NT.
    if (hasRequests(object)) {
        it->second.deleted = true;
        it->second.name.clear();
        ++deletedInUse_;
    } else {
        devices_.erase(it);
    }
    if (kernel_.deviceManager())
        kernel_.deviceManager()->deviceDeleted(object);
}

void IoManager::sweepDeleted() {
    if (!deletedInUse_) // the usual case: every request's end would otherwise walk every device
        return;
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (it->second.deleted && !hasRequests(it->first)) {
            it = devices_.erase(it);
            --deletedInUse_;
        } else {
            ++it;
        }
    }
}

NTSTATUS IoManager::createLink(PUNICODE_STRING link, PUNICODE_STRING target) {
    std::u16string name = canonicalObjectName(text(link));
    if (links_.count(name))
        return STATUS_OBJECT_NAME_COLLISION;
    links_[name] = text(target);
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::deleteLink(PUNICODE_STRING link) {
    const std::u16string name = canonicalObjectName(text(link));
    if (!links_.count(name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return undefineLink(name, nullptr);
}

NTSTATUS IoManager::defineLink(std::u16string_view link, std::u16string target) {
    const std::u16string name = canonicalObjectName(link);
    if (auto it = links_.find(name); it != links_.end())
        hidden_[name].push_back(it->second);
    links_[name] = std::move(target);
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::undefineLink(std::u16string_view link, const std::u16string* exactTarget) {
    const std::u16string name = canonicalObjectName(link);
    auto current = links_.find(name);
    if (current == links_.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<std::u16string>& hidden = hidden_[name];
    if (!exactTarget || canonicalObjectName(current->second) == canonicalObjectName(*exactTarget)) {
        if (hidden.empty()) {
            links_.erase(current);
        } else {
            current->second = hidden.back();
            hidden.pop_back();
        }
    } else {
        auto it = std::find_if(hidden.begin(), hidden.end(), [&](const std::u16string& t) {
            return canonicalObjectName(t) == canonicalObjectName(*exactTarget);
        });
        if (it == hidden.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        hidden.erase(it);
    }
    if (hidden.empty())
        hidden_.erase(name);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> IoManager::linkTargets(std::u16string_view link) const {
    const std::u16string name = canonicalObjectName(link);
    std::vector<std::u16string> targets;
    auto current = links_.find(name);
    if (current == links_.end())
        return targets;
    targets.push_back(current->second);
    if (auto hidden = hidden_.find(name); hidden != hidden_.end())
        targets.insert(targets.end(), hidden->second.rbegin(), hidden->second.rend());
    return targets;
}

std::shared_ptr<IoRequest> IoManager::issue(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major,
                                            const std::vector<uint8_t>& input, ULONG outputLength,
                                            const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                            bool cancelledOnArrival) {
    return start(device, file, major, STATUS_PENDING, input, outputLength, parameters, cancelledOnArrival,
                 nullptr);
}

std::shared_ptr<IoRequest> IoManager::issueSystem(PDEVICE_OBJECT device, UCHAR major, NTSTATUS initialStatus,
                                                  const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                                  std::function<void(IoRequest&)> onComplete) {
    return start(device, nullptr, major, initialStatus, {}, 0, parameters, false, std::move(onComplete));
}

PDEVICE_OBJECT IoManager::topOf(PDEVICE_OBJECT device) const {
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoManager::lowerOf(PDEVICE_OBJECT device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second.lower;
}

void IoManager::attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower) {
    lower->AttachedDevice = upper;
    upper->StackSize = static_cast<CHAR>(lower->StackSize + 1);
    devices_.at(upper).lower = lower;
}

void IoManager::detach(PDEVICE_OBJECT lower) {
    if (PDEVICE_OBJECT upper = lower->AttachedDevice) {
        auto it = devices_.find(upper);
        if (it != devices_.end())
            it->second.lower = nullptr;
    }
    lower->AttachedDevice = nullptr;
}

std::shared_ptr<IoRequest> IoManager::start(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major,
                                            NTSTATUS initial, const std::vector<uint8_t>& input,
                                            ULONG outputLength,
                                            const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                            bool cancelledOnArrival,
                                            std::function<void(IoRequest&)> onComplete) {
    if (kernel_.irql() != PASSIVE_LEVEL)
        kernel_.verifierStop("I/O request", "issued above PASSIVE_LEVEL");
    // A request goes to the top of the device's stack, with one stack location per device in it.
    PDEVICE_OBJECT top = topOf(device);
    auto request = std::make_shared<IoRequest>();
    const int locations = top->StackSize > 0 ? top->StackSize : 1;
    size_t size = sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    auto* base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = static_cast<CHAR>(locations);
    irp->CurrentLocation = static_cast<CHAR>(locations + 1);
    irp->RequestorMode = file ? UserMode : KernelMode;
    irp->IoStatus.Status = initial;
    irp->Tail.Overlay.CurrentStackLocation = base + locations;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = base + locations - 1; // the top driver's
    stack->MajorFunction = major;
    stack->FileObject = file;
    if (parameters)
        parameters(*stack);

    request->irp = irp;
    request->device = top;
    request->major = major;
    request->outputLength = outputLength;
    request->onComplete = std::move(onComplete);
    request->methodBuffered = major == IRP_MJ_DEVICE_CONTROL &&
                              (stack->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED;
    // Buffered I/O: one system buffer, as large as the larger of input and output, input copied in.
    size_t systemSize = std::max<size_t>(input.size(), outputLength);
    if (systemSize) {
        request->system.assign(systemSize, 0);
        std::copy(input.begin(), input.end(), request->system.begin());
        irp->AssociatedIrp.SystemBuffer = request->system.data();
        irp->UserBuffer = request->system.data();
    }
    requests_[irp] = request;
    irp->Cancel = cancelledOnArrival;

    request->inDispatch = true;
    NTSTATUS status = IoCallDriver(top, irp);
    request->inDispatch = false;
    const char* call = "IRP dispatch";
    if (kernel_.irql() != PASSIVE_LEVEL || kernel_.locksHeld())
        kernel_.verifierStop(call, "the dispatch routine returned at raised IRQL or with a lock held");
    bool markedPending = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING) {
        if (!markedPending)
            kernel_.verifierStop(call, "STATUS_PENDING returned without IoMarkIrpPending");
    } else {
        if (markedPending)
            kernel_.verifierStop(call, "marked pending but returned a status other than STATUS_PENDING");
        if (!request->completed)
            kernel_.verifierStop(call, "returned without pending or completing the request");
        if (request->status != status)
            kernel_.verifierStop(call, "returned a status other than the one it completed the request with");
    }
    if (request->completed && request->irp)
        finish(*request);
    kernel_.checkpoint();
    return request;
}

void IoManager::complete(PIRP irp) {
    auto it = requests_.find(irp);
    if (it == requests_.end() || it->second->completed)
        kernel_.verifierStop("IoCompleteRequest", "the request was completed twice, or is not a request");
    if (irp->CancelRoutine)
        kernel_.verifierStop("IoCompleteRequest", "the request still has a cancel routine set");
    if (kernel_.irql() > DISPATCH_LEVEL)
        kernel_.verifierStop("IoCompleteRequest", "called above DISPATCH_LEVEL");
    std::shared_ptr<IoRequest> request = it->second;
    // Up the stack: each location's completion routine, set by the driver above it, runs in that
    // driver's location; one that answers STATUS_MORE_PROCESSING_REQUIRED takes the request back.
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        auto routine = reinterpret_cast<PIO_COMPLETION_ROUTINE>(stack->CompletionRoutine);
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Control &=
            static_cast<UCHAR>(~(SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL));
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        bool atTop = irp->CurrentLocation > irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT above = atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            NTSTATUS answer;
            {
                ImageScope image(kernel_, above ? imageOf(above) : kernel_.currentImage());
                answer = routine(above, irp, context);
            }
            if (answer == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (irp->PendingReturned && !atTop) {
            IoMarkIrpPending(irp);
        }
    }
    request->completed = true;
    request->completedAt = kernel_.now();
    ++completions_;
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    if (!request->inDispatch)
        finish(*request);
}

void IoManager::finish(IoRequest& request) {
    if (!request.irp)
        return;
    bool returnsData = request.major == IRP_MJ_READ || request.major == IRP_MJ_QUERY_INFORMATION ||
                       (request.major == IRP_MJ_DEVICE_CONTROL && request.methodBuffered);
    if (returnsData && NT_SUCCESS(request.status)) {
        size_t count = std::min<size_t>({request.information, request.outputLength, request.system.size()});
        request.output.assign(request.system.begin(),
                              request.system.begin() + static_cast<std::ptrdiff_t>(count));
    }
    PIRP irp = request.irp;
    request.irp = nullptr;
    std::shared_ptr<IoRequest> keep = requests_[irp];
    requests_.erase(irp);
    if (DeviceManagerHooks* manager = kernel_.deviceManager())
        manager->requestFinished(irp, request.major);
    freeIrp(irp);
    sweepDeleted();
    if (request.onComplete)
        request.onComplete(request);
}

} // namespace nt

using nt::Kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    Kernel& k = Kernel::require("IoCreateDevice");
    if (k.irql() != PASSIVE_LEVEL)
        k.verifierStop("IoCreateDevice", "called above PASSIVE_LEVEL");
    return k.io().createDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                               DeviceCharacteristics, Exclusive, DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    Kernel::require("IoDeleteDevice").io().deleteDevice(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return Kernel::require("IoCreateSymbolicLink").io().createLink(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    return Kernel::require("IoDeleteSymbolicLink").io().deleteLink(SymbolicLinkName);
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Kernel& k = Kernel::require("IoCallDriver");
    if (!DeviceObject || !Irp)
        k.verifierStop("IoCallDriver", "no device or no request");
    if (Irp->CurrentLocation <= 1)
        k.verifierStop("IoCallDriver", "the request has no stack location left for the device");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("IoCallDriver", "called above DISPATCH_LEVEL");
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject
                                    ? DeviceObject->DriverObject->MajorFunction[stack->MajorFunction]
                                    : nullptr;
    if (!dispatch) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (nt::DeviceManagerHooks* manager = k.deviceManager())
        manager->dispatching(Irp, DeviceObject);
    nt::ImageScope image(k, k.io().imageOf(DeviceObject));
    return dispatch(DeviceObject, Irp);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    Kernel& k = Kernel::require("IoAttachDeviceToDeviceStack");
    if (!k.io().exists(SourceDevice) || !k.io().exists(TargetDevice))
        k.verifierStop("IoAttachDeviceToDeviceStack", "not a device object");
    PDEVICE_OBJECT top = k.io().topOf(TargetDevice);
    k.io().attach(SourceDevice, top);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    Kernel& k = Kernel::require("IoDetachDevice");
    if (!TargetDevice || !TargetDevice->AttachedDevice)
        k.verifierStop("IoDetachDevice", "nothing is attached to the device");
    k.io().detach(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    return Kernel::require("IoGetAttachedDevice").io().topOf(DeviceObject);
}

VOID ObReferenceObject(PVOID Object) {
    Kernel::require("ObReferenceObject");
    static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount++;
}

VOID ObDereferenceObject(PVOID Object) {
    Kernel& k = Kernel::require("ObDereferenceObject");
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (device->ReferenceCount <= 0)
        k.verifierStop("ObDereferenceObject", "the object has no reference to release");
    device->ReferenceCount--;
}

VOID IoCompleteRequest(PIRP Irp, CHAR) {
    Kernel& k = Kernel::require("IoCompleteRequest");
    k.io().complete(Irp);
    k.checkpoint();
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    Kernel& k = Kernel::require("IoAcquireCancelSpinLock");
    k.checkpoint();
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("IoAcquireCancelSpinLock", "called above DISPATCH_LEVEL");
    k.lockAcquired("IoAcquireCancelSpinLock", &k.io().cancelLock(), Kernel::LockKind::Cancel);
    *Irql = k.irql();
    k.setIrql(DISPATCH_LEVEL);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    Kernel& k = Kernel::require("IoReleaseCancelSpinLock");
    k.lockReleased("IoReleaseCancelSpinLock", &k.io().cancelLock());
    k.setIrql(Irql);
    k.checkpoint();
}

namespace {

// IoCancelIrp's work once the cancel spin lock is held (at `irql` before it was taken).
BOOLEAN CancelLocked(Kernel& k, PIRP Irp, KIRQL irql) {
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    {
        nt::ImageScope image(k, k.io().imageOf(device));
        routine(device, Irp); // releases the cancel spin lock
    }
    if (k.locksHeld())
        k.verifierStop("IoCancelIrp", "the cancel routine returned without releasing the cancel spin lock");
    k.checkpoint();
    return TRUE;
}

} // namespace

BOOLEAN IoCancelIrp(PIRP Irp) {
    Kernel& k = Kernel::require("IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    return CancelLocked(k, Irp, irql);
}

bool nt::IoManager::cancel(IoRequest& request) {
    // Taking the cancel lock lets deferred work run first, which may complete the request: it is looked
    // at only once the lock is held.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (request.completed || !request.irp) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    return CancelLocked(kernel_, request.irp, irql) != FALSE;
}
