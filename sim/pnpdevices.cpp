#include "sim/pnpdevices.h"

#include "platform/w2k/comdb.h"
#include "platform/w2k/ports.h"

#include "sim/machine.h"

#include <cstdio>

namespace sim {

namespace {

const std::string kServices = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

// Bus type GUIDs as the bus drivers of Windows 2000 report them.
constexpr GUID kBusTypePci = {0xC8EBDFB0, 0xB510, 0x11D0, {0x80, 0xE5, 0x00, 0xA0, 0xC9, 0x25, 0x42, 0xE3}};
constexpr GUID kBusTypeIsa = {0xE676F854, 0xD87D, 0x11D0, {0x92, 0xB2, 0x00, 0xA0, 0xC9, 0x05, 0x5F, 0xC5}};
constexpr GUID kBusTypePcmcia = {
    0x09343630, 0xAF9F, 0x11D0, {0x92, 0xE9, 0x00, 0x00, 0xF8, 0x1E, 0x1B, 0x30}};
constexpr GUID kBusTypeInternal = {
    0x1530EA73, 0x086B, 0x11D1, {0xA0, 0x9F, 0x00, 0xC0, 0x4F, 0xC3, 0x40, 0xB1}};

std::u16string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return nt::toUtf16(text);
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Range(UCHAR type, uint64_t start, uint32_t length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = type == CmResourceTypePort ? CM_RESOURCE_PORT_IO : CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Generic.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Generic.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG irq, bool shared) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    d.Flags = shared ? CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE : CM_RESOURCE_INTERRUPT_LATCHED;
    d.u.Interrupt.Level = d.u.Interrupt.Vector = irq;
    d.u.Interrupt.Affinity = 1;
    return d;
}

// A bus device that reports the devices `children` returns and needs no driver of its own.
w2k::BusDevice BusNode(std::u16string deviceId, std::u16string hardwareId, std::u16string description,
                       std::function<std::vector<PDEVICE_OBJECT>()> children) {
    w2k::BusDevice device;
    device.deviceId = std::move(deviceId);
    device.instanceId = u"0000";
    device.hardwareIds = {std::move(hardwareId)};
    device.description = std::move(description);
    device.busType = kBusTypeInternal;
    device.rawDeviceOk = true;
    device.children = std::move(children);
    return device;
}

} // namespace

PnpDevices::PnpDevices(Machine& machine, const MachineSpec& spec)
    : machine_(machine), kernel_(machine.kernel()), manager_(std::make_unique<w2k::PnpManager>(kernel_)) {
    nt::KernelScope scope(kernel_);
    root_ = std::make_unique<w2k::BusStandIn>(kernel_, u"PnpManager", u"0000");
    pci_ = std::make_unique<w2k::BusStandIn>(kernel_, u"PCI", u"NTPNP_PCI");
    pcmcia_ = std::make_unique<w2k::BusStandIn>(kernel_, u"Pcmcia", u"PcmciaCard");
    for (auto* bus : {root_.get(), pci_.get(), pcmcia_.get()})
        manager_->addBus(*bus);
    installPortDrivers(spec);

    size_t pciIndex = 0;
    unsigned isaNumber = 0;
    std::vector<const CardSpec*> isaCards;
    for (const CardSpec& card : spec.cards) {
        if (card.bus == "PCI") {
            pciFunctions_.push_back(pci_->create(pciFunction(card, pciIndex++)));
            pciSpecs_.push_back(&card);
        } else if (card.bus == "PCMCIA")
            sockets_.push_back(Socket{&card, nullptr});
        else if (card.bus == "ISA" && !card.hardwareId.empty())
            isaCards.push_back(&card);
    }
    pciBus_ =
        root_->create(BusNode(u"Root\\PCI_HAL", u"PCI_HAL", u"PCI bus", [this] { return pciFunctions_; }));
    manager_->addRootDevice(pciBus_);
    if (!sockets_.empty()) {
        socketController_ = root_->create(
            BusNode(u"Root\\*PNP0E00", u"*PNP0E00", u"Intel 82365-compatible PCMCIA controller", [this] {
                std::vector<PDEVICE_OBJECT> cards;
                for (const Socket& socket : sockets_)
                    if (socket.pdo)
                        cards.push_back(socket.pdo);
                return cards;
            }));
        manager_->addRootDevice(socketController_);
        for (size_t i = 0; i < sockets_.size(); ++i)
            if (sockets_[i].card->inserted) {
                machine_.plugPcmciaCard(i, true);
                sockets_[i].pdo = pcmcia_->create(pcmciaCard(*sockets_[i].card));
            }
    }
    for (const CardSpec* card : isaCards) {
        isaCards_.push_back(root_->create(isaCard(*card, isaNumber++)));
        isaSpecs_.push_back(card);
        manager_->addRootDevice(isaCards_.back());
    }
}

void PnpDevices::installPortDrivers(const MachineSpec& spec) {
    // The system's serial and parallel port drivers (here their stand-ins), as every installation has
    // them; the suite's port INF binds its children's hardware IDs to them (the machine's registry).
    nt::Registry& registry = kernel_.registry();
    for (auto [service, file] : {std::pair{"Serial", "serial.sys"}, std::pair{"Parport", "parport.sys"}})
        if (!registry.exists(kServices + service))
            kernel_.services().install(service, file);
    // The ports of the machine's own controller were numbered when the system was installed.
    w2k::ComDatabase database(registry);
    for (const StandardPortSpec& port : spec.standardPorts)
        database.claim(port.com, true);
    // What the suite's port INF names its ports.
    w2k::InstallPortsClassInstaller(
        *manager_, kernel_,
        {w2k::PortModel{u"Ports\\QuorvelComPort", "Quorvel Serial Port", false},
         w2k::PortModel{u"Ports\\QuorvelLptPort", "Quorvel Parallel Port", true}});
}

PnpDevices::~PnpDevices() {
    nt::KernelScope scope(kernel_);
    manager_.reset();
}

void PnpDevices::boot() {
    if (booted_)
        return;
    booted_ = true;
    manager_->boot();
}

w2k::BusDevice PnpDevices::pciFunction(const CardSpec& card, size_t index) const {
    const hw::PciSerialCard& model = *machine_.pciCard(index);
    const hw::PciCardLayout& layout = model.layout();
    w2k::BusDevice device;
    const std::u16string ven = u"PCI\\VEN_" + Hex(layout.vendorId, 4) + u"&DEV_" + Hex(layout.deviceId, 4);
    const std::u16string subsys =
        u"&SUBSYS_" + Hex(uint32_t(layout.subsystemId) << 16 | layout.subsystemVendorId, 8);
    const std::u16string rev = u"&REV_" + Hex(layout.revision, 2);
    device.deviceId = ven + subsys;
    device.hardwareIds = {ven + subsys + rev, ven + subsys, ven + u"&CC_070200",
                          ven + u"&CC_0702",  ven + rev,    ven};
    device.compatibleIds = {u"PCI\\VEN_" + Hex(layout.vendorId, 4) + u"&CC_070200", u"PCI\\CC_070200",
                            u"PCI\\CC_0702"};
    device.instanceId = Hex(uint32_t(card.pciDevice) << 3 | card.pciFunction, 2);
    device.uniqueId = false; // told apart by its place on the bus
    device.description = u"PCI multiport serial controller";
    device.location = u"PCI bus " + nt::toUtf16(std::to_string(card.pciBus)) + u", device " +
                      nt::toUtf16(std::to_string(card.pciDevice)) + u", function " +
                      nt::toUtf16(std::to_string(card.pciFunction));
    device.legacyBus = PCIBus;
    device.busNumber = card.pciBus;
    device.busType = kBusTypePci;
    device.address = uint32_t(card.pciDevice) << 16 | card.pciFunction;
    // The windows its base address registers decode, in register order, then its interrupt.
    for (unsigned bar = 0; bar < hw::pci::kBars; ++bar) {
        uint32_t size = model.barSize(bar);
        if (!size)
            continue;
        uint32_t value = model.bar(bar);
        if (value & hw::pci::kBarIo)
            device.resources.push_back(Range(CmResourceTypePort, value & ~0x3u, size));
        else
            device.resources.push_back(Range(CmResourceTypeMemory, value & ~0xFu, size));
    }
    device.resources.push_back(Interrupt(layout.interruptLine, true));
    return device;
}

w2k::BusDevice PnpDevices::isaCard(const CardSpec& card, unsigned number) const {
    w2k::BusDevice device;
    device.deviceId = u"Root\\MULTIPORTSERIAL";
    device.instanceId = Hex(number, 4);
    device.hardwareIds = {nt::toUtf16(card.hardwareId)};
    device.description = u"ISA multiport serial card";
    device.legacyBus = Isa;
    device.busType = kBusTypeIsa;
    if (!card.isaResources.empty()) {
        for (const IsaResourceSpec& r : card.isaResources)
            device.resources.push_back(r.interrupt ? Interrupt(r.irq, false)
                                                   : Range(CmResourceTypePort, r.start, r.length));
        return device;
    }
    // What the wizard gives a card whose ports each have their own range: each port's eight addresses,
    // then each interrupt once.
    std::vector<ULONG> irqs;
    for (const UartSpec& uart : card.uarts)
        device.resources.push_back(Range(CmResourceTypePort, uart.address, 8));
    for (const UartSpec& uart : card.uarts) {
        ULONG irq = uart.vector - nt::kIrqVectorBase;
        if (uart.vector && std::find(irqs.begin(), irqs.end(), irq) == irqs.end())
            irqs.push_back(irq);
    }
    for (ULONG irq : irqs)
        device.resources.push_back(Interrupt(irq, false));
    return device;
}

w2k::BusDevice PnpDevices::pcmciaCard(const CardSpec& card) const {
    w2k::BusDevice device;
    std::u16string id = nt::toUtf16(card.hardwareId);
    device.deviceId = id;
    device.hardwareIds = {id};
    device.uniqueId = false;
    device.description = u"PC Card multiport serial";
    device.legacyBus = PCMCIABus;
    device.busType = kBusTypePcmcia;
    device.removable = true;
    device.surpriseRemovalOk = true;
    device.resources = {Range(CmResourceTypePort, card.pcmciaIo, card.pcmciaIoLength),
                        Interrupt(card.irq, false)};
    return device;
}

w2k::DeviceNode* PnpDevices::socketNode() const {
    return socketController_ ? manager_->nodeOf(socketController_) : nullptr;
}

bool PnpDevices::insert(size_t socket, std::string& error) {
    if (socket >= sockets_.size()) {
        error = "the machine has " + std::to_string(sockets_.size()) + " PCMCIA socket(s)";
        return false;
    }
    if (sockets_[socket].pdo) {
        error = "socket " + std::to_string(socket + 1) + " holds its card already";
        return false;
    }
    nt::KernelScope scope(kernel_);
    machine_.plugPcmciaCard(socket, true);
    sockets_[socket].pdo = pcmcia_->create(pcmciaCard(*sockets_[socket].card));
    if (w2k::DeviceNode* controller = socketNode())
        manager_->reenumerate(*controller);
    return true;
}

bool PnpDevices::pull(size_t socket, std::string& error) {
    if (socket >= sockets_.size() || !sockets_[socket].pdo) {
        error = "no card in socket " + std::to_string(socket + 1);
        return false;
    }
    nt::KernelScope scope(kernel_);
    PDEVICE_OBJECT pdo = sockets_[socket].pdo;
    sockets_[socket].pdo = nullptr; // the socket no longer reports it
    machine_.plugPcmciaCard(socket, false);
    w2k::DeviceNode* controller = socketNode();
    if (controller && manager_->nodeOf(pdo))
        manager_->reenumerate(*controller); // the manager removes it; the socket's driver deletes it
    else
        pcmcia_->destroy(pdo); // never reported: nobody else knows it
    return true;
}

PDEVICE_OBJECT PnpDevices::cardPdo(const std::string& bus, size_t number) const {
    if (number == 0)
        return nullptr;
    if (bus == "pci")
        return number <= pciFunctions_.size() ? pciFunctions_[number - 1] : nullptr;
    if (bus == "isa")
        return number <= isaCards_.size() ? isaCards_[number - 1] : nullptr;
    if (bus == "pcmcia")
        return number <= sockets_.size() ? sockets_[number - 1].pdo : nullptr;
    return nullptr;
}

w2k::DeviceNode* PnpDevices::cardNode(const std::string& bus, size_t number) const {
    PDEVICE_OBJECT pdo = cardPdo(bus, number);
    return pdo ? manager_->nodeOf(pdo) : nullptr;
}

std::vector<PnpDevices::Port> PnpDevices::ports() const {
    struct Card {
        std::string name;
        const CardSpec* spec;
        PDEVICE_OBJECT pdo;
    };
    std::vector<Card> cards;
    for (size_t i = 0; i < pciFunctions_.size(); ++i)
        cards.push_back({"pci:" + std::to_string(i + 1), pciSpecs_[i], pciFunctions_[i]});
    for (size_t i = 0; i < isaCards_.size(); ++i)
        cards.push_back({"isa:" + std::to_string(i + 1), isaSpecs_[i], isaCards_[i]});
    for (size_t i = 0; i < sockets_.size(); ++i)
        cards.push_back({"pcmcia:" + std::to_string(i + 1), sockets_[i].card, sockets_[i].pdo});
    std::vector<Port> out;
    for (const Card& card : cards) {
        w2k::DeviceNode* node = card.pdo ? manager_->nodeOf(card.pdo) : nullptr;
        if (!node)
            continue;
        for (size_t i = 0; i < node->children.size(); ++i) {
            w2k::DeviceNode& child = *node->children[i];
            if (!child.pdo)
                continue;
            Port port;
            port.node = &child;
            port.card = card.name;
            port.number = static_cast<unsigned>(i + 1);
            port.name = w2k::PortNameOf(kernel_, child);
            port.parallel = port.name.rfind("LPT", 0) == 0;
            const CardSpec& spec = *card.spec;
            if (port.parallel)
                port.address = spec.pci.window2;
            else if (spec.bus == "PCMCIA")
                port.address = static_cast<uint16_t>(spec.pcmciaIo + spec.spacing * i);
            else if (spec.bus == "PCI")
                port.address = static_cast<uint16_t>(spec.pci.uartWindow + spec.pci.spacing * i);
            else if (i < spec.uarts.size())
                port.address = spec.uarts[i].address;
            out.push_back(port);
        }
    }
    return out;
}

std::vector<w2k::DeviceNode*> PnpDevices::nodesServedBy(const std::string& service) const {
    std::vector<w2k::DeviceNode*> out;
    for (w2k::DeviceNode* node : manager_->nodes())
        if (node->pdo && nt::namesEqual(nt::toUtf16(node->service), nt::toUtf16(service)))
            out.push_back(node);
    return out;
}

} // namespace sim
