// The service control manager's part for kernel drivers: a service key names the driver's image; a
// start calls the image's entry point with the service key's path and maps the status it returns to
// the Win32 error a program would see; a stop calls the driver's unload routine and is refused while a
// program holds one of its devices open. Also the machine's standard serial driver, which owns COM1
// and COM2 before any other driver starts.
#pragma once

#include "platform/nt/include/ntddk.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nt {

class Kernel;

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Win32 errors a service start or stop reports.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorSerialNoDevice = 1118;
inline constexpr uint32_t kErrorDeviceInUse = 2404;
inline constexpr uint32_t kErrorGenFailure = 31;

// The Win32 error for a driver entry's status, as the service control manager reports it.
uint32_t Win32ErrorForStatus(NTSTATUS status);

class ServiceManager {
public:
    explicit ServiceManager(Kernel& kernel) : kernel_(kernel) {}
    ~ServiceManager();

    // An image the machine can load: its file name (as ImagePath ends), the image the pool and the
    // event log attribute its work to, and its entry point.
    void registerImage(const std::string& fileName, const std::string& imageName, DriverEntryRoutine entry);

    // Writes a service key for a kernel driver (Type 1, the given Start, ImagePath System32\DRIVERS\file).
    void install(const std::string& service, const std::string& fileName, uint32_t start = 3);
    uint32_t start(const std::string& service);
    uint32_t stop(const std::string& service);
    bool running(const std::string& service) const { return running_.count(upper(service)) != 0; }
    PDRIVER_OBJECT driverObject(const std::string& service) const;
    // The image a running service's driver runs as ("CvNt"); empty when it is not running.
    std::string imageOf(const std::string& service) const;
    // The status the last start's entry point returned.
    NTSTATUS lastEntryStatus() const { return lastEntryStatus_; }

private:
    struct Image {
        std::string imageName;
        DriverEntryRoutine entry;
    };
    struct Running {
        std::unique_ptr<DRIVER_OBJECT> driver;
        std::unique_ptr<DRIVER_EXTENSION> extension; // where a plug-and-play driver sets AddDevice
        std::u16string driverName;
        std::string imageName;
    };
    static std::string upper(std::string s);

    Kernel& kernel_;
    std::map<std::string, Image> images_; // by upper-case file name
    std::map<std::string, Running> running_;
    NTSTATUS lastEntryStatus_ = STATUS_SUCCESS;
};

// The standard serial driver's stand-in: COM1 at 0x3F8 (IRQ 4) and COM2 at 0x2F8 (IRQ 3), claimed and
// published as the system's own driver leaves them. Ports the machine does not have are left out.
struct StandardPort {
    uint16_t address;
    uint32_t irq;
    uint32_t com;
};
void InstallStandardSerialDriver(Kernel& kernel, const std::vector<StandardPort>& ports);

} // namespace nt
