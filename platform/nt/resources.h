// The machine's resource arbiter: every claim of I/O ranges, memory ranges and interrupts, refusing
// those that conflict with earlier ones, and publishing each under HARDWARE\RESOURCEMAP as NT does.
#pragma once

#include "platform/nt/include/ntddk.h"

#include <string>
#include <vector>

namespace nt {

class Kernel;

struct ResourceClaim {
    const void* owner = nullptr; // the device object, or the driver object for a driver-wide claim
    std::u16string className;    // under RESOURCEMAP, e.g. "Corvane"
    std::u16string driverName;   // e.g. "CvNt"
    std::u16string valueName;    // the device's name, e.g. "\Device\CvNtIsaCard1", or empty
    INTERFACE_TYPE interfaceType = Isa;
    ULONG busNumber = 0;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources;
};

class ResourceArbiter {
public:
    explicit ResourceArbiter(Kernel& kernel) : kernel_(kernel) {}

    // Whether `wanted` conflicts with a claim of another owner: overlapping ranges or the same
    // interrupt, unless both sides share.
    bool conflicts(const CM_PARTIAL_RESOURCE_DESCRIPTOR& wanted, const void* owner) const;
    // Records a claim (replacing the owner's earlier one) and publishes it; false on a conflict, which
    // changes nothing.
    bool claim(const ResourceClaim& claim);
    // Removes the owner's claim and its published values; false when it had none.
    bool release(const void* owner);
    const std::vector<ResourceClaim>& claims() const { return claims_; }

    // The claim as a REG_RESOURCE_LIST: one full descriptor with every partial one.
    static std::vector<uint8_t> resourceList(const ResourceClaim& claim);

private:
    void publish(const ResourceClaim& claim);
    void unpublish(const ResourceClaim& claim);

    Kernel& kernel_;
    std::vector<ResourceClaim> claims_;
};

} // namespace nt
