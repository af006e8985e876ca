// The Ports class installer, as Windows 2000's msports runs it for the devices of the Ports (COM & LPT)
// class: a new COM port gets the lowest free number of the COM port database, a new parallel port the
// lowest LPT number no other port holds, as the value "PortName" of its device parameters; and the
// device a friendly name of its model's description and that name. A port that has a name keeps it.
#pragma once

#include "platform/w2k/pnp.h"

#include <string>
#include <vector>

namespace w2k {

inline constexpr const char16_t* kPortsClassGuid = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

// A model of the installed port INF: the hardware ID it matches and the description it gives.
struct PortModel {
    std::u16string hardwareId;
    std::string description;
    bool parallel = false;
};

void InstallPortsClassInstaller(PnpManager& manager, nt::Kernel& kernel, std::vector<PortModel> models);

// The "PortName" of a device's parameters ("" when it has none).
std::string PortNameOf(nt::Kernel& kernel, const DeviceNode& node);

} // namespace w2k
