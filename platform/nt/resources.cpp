#include "platform/nt/resources.h"

#include "platform/nt/kernel.h"

#include <cstring>

namespace nt {

namespace {

const char kResourceMap[] = "\\Registry\\Machine\\HARDWARE\\RESOURCEMAP";

struct Range {
    uint64_t start, end; // inclusive
};

bool rangeOf(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d, Range& range) {
    if ((d.Type != CmResourceTypePort && d.Type != CmResourceTypeMemory) || d.u.Generic.Length == 0)
        return false;
    range.start = static_cast<uint64_t>(d.u.Generic.Start.QuadPart);
    range.end = range.start + d.u.Generic.Length - 1;
    return true;
}

bool sameSpace(const CM_PARTIAL_RESOURCE_DESCRIPTOR& a, const CM_PARTIAL_RESOURCE_DESCRIPTOR& b) {
    return a.Type == b.Type;
}

std::string keyOf(const ResourceClaim& claim) {
    return std::string(kResourceMap) + "\\" + toUtf8(claim.className) + "\\" + toUtf8(claim.driverName);
}

} // namespace

bool ResourceArbiter::conflicts(const CM_PARTIAL_RESOURCE_DESCRIPTOR& wanted, const void* owner) const {
    for (const auto& other : claims_) {
        if (other.owner == owner)
            continue;
        for (const auto& held : other.resources) {
            if (!sameSpace(wanted, held))
                continue;
            bool shared = wanted.ShareDisposition == CmResourceShareShared &&
                          held.ShareDisposition == CmResourceShareShared;
            if (shared)
                continue;
            Range a, b;
            if (rangeOf(wanted, a) && rangeOf(held, b) && a.start <= b.end && b.start <= a.end)
                return true;
            if (wanted.Type == CmResourceTypeInterrupt &&
                wanted.u.Interrupt.Vector == held.u.Interrupt.Vector &&
                wanted.u.Interrupt.Level == held.u.Interrupt.Level)
                return true;
        }
    }
    return false;
}

bool ResourceArbiter::claim(const ResourceClaim& claim) {
    for (const auto& d : claim.resources)
        if (conflicts(d, claim.owner))
            return false;
    release(claim.owner);
    claims_.push_back(claim);
    publish(claims_.back());
    return true;
}

bool ResourceArbiter::release(const void* owner) {
    for (auto it = claims_.begin(); it != claims_.end(); ++it) {
        if (it->owner == owner) {
            unpublish(*it);
            claims_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> ResourceArbiter::resourceList(const ResourceClaim& claim) {
    size_t count = claim.resources.size();
    size_t size = offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
                  count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<uint8_t> bytes(size);
    CM_RESOURCE_LIST header{};
    header.Count = 1;
    header.List[0].InterfaceType = claim.interfaceType;
    header.List[0].BusNumber = claim.busNumber;
    header.List[0].PartialResourceList.Version = 1;
    header.List[0].PartialResourceList.Revision = 1;
    header.List[0].PartialResourceList.Count = static_cast<ULONG>(count);
    std::memcpy(bytes.data(), &header,
                offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors));
    if (count)
        std::memcpy(bytes.data() + offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors),
                    claim.resources.data(), count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    return bytes;
}

void ResourceArbiter::publish(const ResourceClaim& claim) {
    std::string key = keyOf(claim);
    std::string value = toUtf8(claim.valueName);
    kernel_.registry().create(key);
    // Port and interrupt numbers of these machines translate to themselves.
    kernel_.registry().setValue(key, value + ".Raw", REG_RESOURCE_LIST, resourceList(claim));
    kernel_.registry().setValue(key, value + ".Translated", REG_RESOURCE_LIST, resourceList(claim));
}

void ResourceArbiter::unpublish(const ResourceClaim& claim) {
    std::string key = keyOf(claim);
    std::string value = toUtf8(claim.valueName);
    kernel_.registry().removeValue(key, value + ".Raw");
    kernel_.registry().removeValue(key, value + ".Translated");
    // Keys the claims made go with the last of them, so a release leaves the map as it found it.
    auto driverKey = kernel_.registry().open(key);
    if (driverKey && driverKey->values.empty() && driverKey->subkeys.empty())
        kernel_.registry().removeTree(key);
    std::string classKey = std::string(kResourceMap) + "\\" + toUtf8(claim.className);
    auto cls = kernel_.registry().open(classKey);
    if (cls && cls->values.empty() && cls->subkeys.empty())
        kernel_.registry().removeTree(classKey);
}

} // namespace nt

using nt::Kernel;

PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID) {
    return &Kernel::require("IoGetConfigurationInformation").configuration();
}

namespace {

std::u16string view(PUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

// The first address in [minimum, maximum] at the alignment where `length` bytes are free.
bool choose(const nt::ResourceArbiter& arbiter, const void* owner, CM_PARTIAL_RESOURCE_DESCRIPTOR& out,
            const IO_RESOURCE_DESCRIPTOR& in) {
    out.Type = in.Type;
    out.ShareDisposition = in.ShareDisposition;
    out.Flags = in.Flags;
    if (in.Type == CmResourceTypeInterrupt) {
        for (uint64_t v = in.u.Interrupt.MinimumVector; v <= in.u.Interrupt.MaximumVector; ++v) {
            out.u.Interrupt.Level = out.u.Interrupt.Vector = static_cast<ULONG>(v);
            out.u.Interrupt.Affinity = 1;
            if (!arbiter.conflicts(out, owner))
                return true;
        }
        return false;
    }
    if (in.Type != CmResourceTypePort && in.Type != CmResourceTypeMemory)
        return false; // nothing else is arbitrated on these machines
    uint64_t alignment = in.u.Port.Alignment ? in.u.Port.Alignment : 1;
    uint64_t minimum = static_cast<uint64_t>(in.u.Port.MinimumAddress.QuadPart);
    uint64_t maximum = static_cast<uint64_t>(in.u.Port.MaximumAddress.QuadPart);
    uint64_t length = in.u.Port.Length;
    if (length == 0)
        return false;
    uint64_t start = (minimum + alignment - 1) / alignment * alignment;
    // A bounded search: the candidates of one 64 KiB I/O space, or the first 65 536 of a larger range.
    for (unsigned tries = 0; tries < 65536 && start + length - 1 <= maximum && start >= minimum;
         ++tries, start += alignment) {
        out.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
        out.u.Port.Length = static_cast<ULONG>(length);
        if (!arbiter.conflicts(out, owner))
            return true;
    }
    return false;
}

} // namespace

NTSTATUS IoAssignResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                           PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                           PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                           PCM_RESOURCE_LIST* AllocatedResources) {
    Kernel& k = Kernel::require("IoAssignResources");
    if (k.irql() != PASSIVE_LEVEL)
        k.verifierStop("IoAssignResources", "called above passive level");
    if (!DriverObject)
        k.verifierStop("IoAssignResources", "no driver object");
    (void)RegistryPath;
    const void* owner = DeviceObject ? static_cast<const void*>(DeviceObject) : DriverObject;
    if (AllocatedResources)
        *AllocatedResources = nullptr;
    if (!RequestedResources || RequestedResources->AlternativeLists == 0 ||
        RequestedResources->List[0].Count == 0) {
        k.resources().release(owner);
        return STATUS_SUCCESS;
    }
    if (!AllocatedResources)
        k.verifierStop("IoAssignResources", "no place for the assigned resources");

    nt::ResourceClaim claim;
    claim.owner = owner;
    claim.className = DriverClassName && DriverClassName->Buffer ? view(DriverClassName) : u"OtherDrivers";
    std::u16string driver = view(&DriverObject->DriverName);
    size_t slash = driver.rfind(u'\\');
    claim.driverName = slash == std::u16string::npos ? driver : driver.substr(slash + 1);
    claim.valueName = DeviceObject ? k.io().nameOf(DeviceObject) : std::u16string();
    claim.interfaceType = RequestedResources->InterfaceType;
    claim.busNumber = RequestedResources->BusNumber;

    // The first alternative list; within it a descriptor marked alternative stands in for the one before
    // it when that one could not be had.
    const IO_RESOURCE_LIST& list = RequestedResources->List[0];
    bool groupMet = true;
    for (ULONG i = 0; i < list.Count; ++i) {
        const IO_RESOURCE_DESCRIPTOR& in = list.Descriptors[i];
        bool alternative = (in.Option & IO_RESOURCE_ALTERNATIVE) != 0;
        if (alternative && groupMet)
            continue;
        if (!alternative && !groupMet)
            return STATUS_CONFLICTING_ADDRESSES;
        CM_PARTIAL_RESOURCE_DESCRIPTOR out{};
        groupMet = choose(k.resources(), owner, out, in);
        if (groupMet)
            claim.resources.push_back(out);
    }
    if (!groupMet || !k.resources().claim(claim))
        return STATUS_CONFLICTING_ADDRESSES;

    std::vector<uint8_t> bytes = nt::ResourceArbiter::resourceList(claim);
    auto* result = static_cast<PCM_RESOURCE_LIST>(
        ExAllocatePoolWithTag(PagedPool, static_cast<ULONG>(bytes.size()), nt::makeTag("IoRs")));
    if (!result) {
        k.resources().release(owner);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(result, bytes.data(), bytes.size());
    *AllocatedResources = result;
    return STATUS_SUCCESS;
}
