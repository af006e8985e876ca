// The Windows 2000 side of a machine: the plug-and-play manager, the bus drivers it stands in for, and
// the devices they report. The root enumerator reports the PCI bus, the PCMCIA socket controller and
// the ISA cards installed through the hardware wizard; the PCI bus reports one device per function of
// the machine's PCI buses; the socket reports the cards that sit in it, which come and go.
#pragma once

#include "platform/w2k/pnp.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class Machine;
struct CardSpec;
struct MachineSpec;

class PnpDevices {
public:
    PnpDevices(Machine& machine, const MachineSpec& spec);
    ~PnpDevices();
    PnpDevices(const PnpDevices&) = delete;
    PnpDevices& operator=(const PnpDevices&) = delete;

    w2k::PnpManager& manager() { return *manager_; }
    // Builds the device tree once; later calls do nothing.
    void boot();
    bool booted() const { return booted_; }

    // The machine's PCMCIA cards, by their order in the description: each has its own socket.
    size_t pcmciaCards() const { return sockets_.size(); }
    bool inserted(size_t socket) const { return socket < sockets_.size() && sockets_[socket].pdo; }
    // A card put into its socket or pulled out of it; the socket's driver reports the change.
    bool insert(size_t socket, std::string& error);
    bool pull(size_t socket, std::string& error);

    // A card by its bus ("pci", "isa" or "pcmcia") and its 1-based number among that bus's cards in the
    // machine description; null when there is none (or, for PCMCIA, when its socket is empty).
    PDEVICE_OBJECT cardPdo(const std::string& bus, size_t number) const;
    w2k::DeviceNode* cardNode(const std::string& bus, size_t number) const;

    // The ports of the cards as the system named them: each COM and LPT child with its name ("COMn",
    // "LPTn", empty when it has none), its card ("pci:1", "isa:2", "pcmcia:1"), its number on the card
    // and the I/O address of its registers; in tree order.
    struct Port {
        w2k::DeviceNode* node = nullptr;
        std::string name, card;
        unsigned number = 0;
        uint16_t address = 0;
        bool parallel = false;
    };
    std::vector<Port> ports() const;

    // The nodes whose function driver is `service` (CvInstal's cards), in tree order.
    std::vector<w2k::DeviceNode*> nodesServedBy(const std::string& service) const;

private:
    struct Socket {
        const CardSpec* card = nullptr;
        PDEVICE_OBJECT pdo = nullptr;
    };
    w2k::BusDevice pciFunction(const CardSpec& card, size_t index) const;
    w2k::BusDevice isaCard(const CardSpec& card, unsigned number) const;
    w2k::BusDevice pcmciaCard(const CardSpec& card) const;
    w2k::DeviceNode* socketNode() const;
    // The system's serial and parallel port drivers, the COM numbers of the machine's own ports, and the
    // Ports class installer with the suite's port models.
    void installPortDrivers(const MachineSpec& spec);

    Machine& machine_;
    nt::Kernel& kernel_;
    std::unique_ptr<w2k::PnpManager> manager_;
    std::unique_ptr<w2k::BusStandIn> root_, pci_, pcmcia_;
    PDEVICE_OBJECT pciBus_ = nullptr, socketController_ = nullptr;
    std::vector<PDEVICE_OBJECT> pciFunctions_, isaCards_;
    std::vector<const CardSpec*> pciSpecs_, isaSpecs_; // the same order
    std::vector<Socket> sockets_;
    bool booted_ = false;
};

} // namespace sim
