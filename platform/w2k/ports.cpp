#include "platform/w2k/ports.h"

#include "platform/w2k/comdb.h"

#include <algorithm>
#include <cwctype>

namespace w2k {

namespace {

std::string ParametersKey(const DeviceNode& node) {
    return node.enumKey() + "\\Device Parameters";
}

bool SameId(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return std::towupper(x) == std::towupper(y);
           });
}

// The number behind a name of the form PREFIXn, or 0.
unsigned NumberAfter(const std::string& name, const char* prefix) {
    const size_t length = std::char_traits<char>::length(prefix);
    if (name.size() <= length || name.compare(0, length, prefix) != 0)
        return 0;
    unsigned number = 0;
    for (size_t i = length; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > 100000)
            return 0;
        number = number * 10 + unsigned(name[i] - '0');
    }
    return number;
}

unsigned LowestFreeLpt(PnpManager& manager, nt::Kernel& kernel) {
    std::vector<unsigned> taken;
    for (DeviceNode* node : manager.nodes())
        if (unsigned n = NumberAfter(PortNameOf(kernel, *node), "LPT"))
            taken.push_back(n);
    unsigned lpt = 1;
    while (std::find(taken.begin(), taken.end(), lpt) != taken.end())
        ++lpt;
    return lpt;
}

} // namespace

std::string PortNameOf(nt::Kernel& kernel, const DeviceNode& node) {
    return kernel.registry().string(ParametersKey(node), "PortName").value_or("");
}

void InstallPortsClassInstaller(PnpManager& manager, nt::Kernel& kernel, std::vector<PortModel> models) {
    manager.setClassInstaller(kPortsClassGuid, [&manager, &kernel, models](DeviceNode& node) {
        const PortModel* model = nullptr;
        for (const auto& id : node.hardwareIds)
            for (const auto& m : models)
                if (!model && SameId(id, m.hardwareId))
                    model = &m;
        if (!model)
            return; // not one of the INF's ports
        nt::Registry& registry = kernel.registry();
        std::string name = PortNameOf(kernel, node);
        if (name.empty()) {
            if (model->parallel) {
                name = "LPT" + std::to_string(LowestFreeLpt(manager, kernel));
            } else {
                unsigned com = ComDatabase(registry).claimNextFree();
                if (com == 0)
                    return; // every number is taken: the port driver reports it
                name = "COM" + std::to_string(com);
            }
            registry.create(ParametersKey(node));
            registry.setString(ParametersKey(node), "PortName", name);
        }
        registry.setString(node.enumKey(), "FriendlyName", model->description + " (" + name + ")");
    });
}

} // namespace w2k
