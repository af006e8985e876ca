#include "platform/nt/services.h"

#include "platform/nt/kernel.h"

#include <algorithm>
#include <cctype>

namespace nt {

namespace {

const std::string kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::string fileOf(const std::string& imagePath) {
    size_t slash = imagePath.find_last_of("\\/");
    return slash == std::string::npos ? imagePath : imagePath.substr(slash + 1);
}

} // namespace

uint32_t Win32ErrorForStatus(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return kErrorSuccess;
    case STATUS_SERIAL_NO_DEVICE_INITED:
        return kErrorSerialNoDevice;
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return kErrorFileNotFound;
    default:
        return kErrorGenFailure;
    }
}

ServiceManager::~ServiceManager() = default;

std::string ServiceManager::upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

void ServiceManager::registerImage(const std::string& fileName, const std::string& imageName,
                                   DriverEntryRoutine entry) {
    images_[upper(fileName)] = Image{imageName, entry};
}

void ServiceManager::install(const std::string& service, const std::string& fileName, uint32_t start) {
    std::string key = kServices + service;
    kernel_.registry().create(key);
    kernel_.registry().setDword(key, "Type", 1);
    kernel_.registry().setDword(key, "Start", start);
    kernel_.registry().setDword(key, "ErrorControl", 1);
    kernel_.registry().setString(key, "ImagePath", "System32\\DRIVERS\\" + fileName, REG_EXPAND_SZ);
}

PDRIVER_OBJECT ServiceManager::driverObject(const std::string& service) const {
    auto it = running_.find(upper(service));
    return it == running_.end() ? nullptr : it->second.driver.get();
}

std::string ServiceManager::imageOf(const std::string& service) const {
    auto it = running_.find(upper(service));
    return it == running_.end() ? std::string() : it->second.imageName;
}

uint32_t ServiceManager::start(const std::string& service) {
    if (running(service))
        return kErrorServiceAlreadyRunning;
    std::string key = kServices + service;
    auto type = kernel_.registry().dword(key, "Type");
    auto imagePath = kernel_.registry().string(key, "ImagePath");
    if (!kernel_.registry().exists(key) || !type || *type != 1)
        return kErrorServiceDoesNotExist;
    auto image = images_.find(upper(fileOf(imagePath.value_or(service + ".sys"))));
    if (image == images_.end())
        return kErrorFileNotFound;

    Running entry;
    entry.driver = std::make_unique<DRIVER_OBJECT>();
    entry.driverName = u"\\Driver\\" + toUtf16(service);
    entry.imageName = image->second.imageName;
    entry.extension = std::make_unique<DRIVER_EXTENSION>();
    DRIVER_OBJECT& driver = *entry.driver;
    driver.Type = IO_TYPE_DRIVER;
    driver.DriverExtension = entry.extension.get();
    entry.extension->DriverObject = &driver;
    driver.DriverName.Buffer = entry.driverName.data();
    driver.DriverName.Length = driver.DriverName.MaximumLength =
        static_cast<USHORT>(entry.driverName.size() * sizeof(WCHAR));
    std::u16string path = toUtf16(key);
    UNICODE_STRING registryPath{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                                path.data()};
    {
        KernelScope scope(kernel_);
        ImageScope imageScope(kernel_, entry.imageName);
        lastEntryStatus_ = image->second.entry(&driver, &registryPath);
    }
    if (!NT_SUCCESS(lastEntryStatus_))
        return Win32ErrorForStatus(lastEntryStatus_);
    auto& slot = running_[upper(service)];
    slot = std::move(entry);
    // The name buffer moved with the record: point the driver object at its new home.
    slot.driver->DriverName.Buffer = slot.driverName.data();
    return kErrorSuccess;
}

uint32_t ServiceManager::stop(const std::string& service) {
    auto it = running_.find(upper(service));
    if (it == running_.end())
        return kErrorServiceNotActive;
    DRIVER_OBJECT& driver = *it->second.driver;
    if (kernel_.io().openHandles(&driver) > 0)
        return kErrorDeviceInUse;
    if (driver.DriverUnload) {
        KernelScope scope(kernel_);
        ImageScope imageScope(kernel_, it->second.imageName);
        driver.DriverUnload(&driver);
    }
    running_.erase(it);
    return kErrorSuccess;
}

void InstallStandardSerialDriver(Kernel& kernel, const std::vector<StandardPort>& ports) {
    // The claims belong to the system's driver, which never unloads: each port's claim has its own owner
    // key, the address of the kernel's configuration record offset by the port's number.
    const std::string serialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    kernel.registry().create(serialComm);
    for (const auto& port : ports) {
        ULONG k = kernel.configuration().SerialCount++;
        std::string device = "Serial" + std::to_string(k);
        kernel.registry().setString(serialComm, device, "COM" + std::to_string(port.com));
        ResourceClaim claim;
        claim.owner = reinterpret_cast<const char*>(&kernel.configuration()) + 1 + k;
        claim.className = u"LOADED SERIAL DRIVER RESOURCES";
        claim.driverName = u"Serial";
        claim.valueName = u"\\Device\\" + toUtf16(device);
        claim.interfaceType = Isa;
        CM_PARTIAL_RESOURCE_DESCRIPTOR range{}, irq{};
        range.Type = CmResourceTypePort;
        range.ShareDisposition = CmResourceShareDeviceExclusive;
        range.Flags = CM_RESOURCE_PORT_IO;
        range.u.Port.Start.QuadPart = port.address;
        range.u.Port.Length = 8;
        irq.Type = CmResourceTypeInterrupt;
        irq.ShareDisposition = CmResourceShareDeviceExclusive;
        irq.Flags = CM_RESOURCE_INTERRUPT_LATCHED;
        irq.u.Interrupt.Level = irq.u.Interrupt.Vector = port.irq;
        irq.u.Interrupt.Affinity = 1;
        claim.resources = {range, irq};
        kernel.resources().claim(claim);
    }
}

} // namespace nt
