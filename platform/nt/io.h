// The I/O manager: named device objects and symbolic links, and requests (IRPs) from their issue to
// their completion, with the verifier's checks on how drivers complete, pend and cancel them.
#pragma once

#include "platform/nt/include/ntddk.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nt {

class Kernel;

// One request as its issuer sees it.
struct IoRequest {
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0;
    bool completed = false;
    uint64_t completedAt = 0; // the machine time it completed
    bool inDispatch = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output; // what came back: read data or control output, by the transferred count
    std::vector<uint8_t> system; // the system buffer
    ULONG outputLength = 0;      // room the issuer gave for it
    bool methodBuffered = false;
    // Called once the request has completed past the top of its stack (system requests: plug and
    // play, power).
    std::function<void(IoRequest&)> onComplete;
};

class IoManager {
public:
    explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
    ~IoManager();

    // Objects.
    PDEVICE_OBJECT device(std::u16string_view name) const;
    std::optional<std::u16string> linkTarget(std::u16string_view link) const;
    std::vector<std::u16string> deviceNames() const;
    std::u16string nameOf(PDEVICE_OBJECT device) const; // empty for an unnamed or unknown device
    bool exists(PDEVICE_OBJECT device) const;
    // Handles programs hold open on a device, and on any device of a driver.
    void handleOpened(PDEVICE_OBJECT device) { ++handles_[device]; }
    void handleClosed(PDEVICE_OBJECT device);
    size_t openHandles(PDRIVER_OBJECT driver) const;
    size_t openHandles(PDEVICE_OBJECT device) const {
        auto it = handles_.find(device);
        return it == handles_.end() ? 0 : it->second;
    }
    std::vector<std::u16string> linkNames() const;
    size_t deviceCount() const { return devices_.size(); }
    // How many requests have completed so far: a program waiting for any of many requests compares it
    // instead of looking at each one.
    uint64_t completions() const { return completions_; }

    // Builds and dispatches a request to a device's driver. `input` is copied into the system buffer;
    // `outputLength` is the room for what comes back. Returns the request; it may still be pending.
    // With `cancelledOnArrival` the issuer cancelled it while it was on its way: the driver finds it
    // marked cancelled with no cancel routine set.
    std::shared_ptr<IoRequest> issue(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major,
                                     const std::vector<uint8_t>& input, ULONG outputLength,
                                     const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                     bool cancelledOnArrival = false);
    // A request the system sends to the top of a device's stack (plug and play, power): the stack
    // location its top driver sees is set by `parameters`, the status starts as `initialStatus`.
    std::shared_ptr<IoRequest> issueSystem(PDEVICE_OBJECT device, UCHAR major, NTSTATUS initialStatus,
                                           const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                           std::function<void(IoRequest&)> onComplete = nullptr);
    // Cancels an outstanding request as its issuer would.
    bool cancel(IoRequest& request);
    size_t outstanding() const { return requests_.size(); }

    // Called by the DDK functions.
    NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                          ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
    void deleteDevice(PDEVICE_OBJECT device);
    NTSTATUS createLink(PUNICODE_STRING link, PUNICODE_STRING target);
    NTSTATUS deleteLink(PUNICODE_STRING link);
    // The definitions programs make (DefineDosDevice): a new one for a name hides the name's current
    // target until it is removed again. Removal takes the current one, or with `exactTarget` the one with
    // that target.
    NTSTATUS defineLink(std::u16string_view link, std::u16string target);
    NTSTATUS undefineLink(std::u16string_view link, const std::u16string* exactTarget);
    // Every target of a name, the current one first (empty when the name is not defined).
    std::vector<std::u16string> linkTargets(std::u16string_view link) const;
    void complete(PIRP irp);
    KSPIN_LOCK& cancelLock() { return cancelLock_; }
    // The driver image whose routines serve a device.
    std::string imageOf(PDEVICE_OBJECT device) const;

    // The device a request sent to `device` reaches first: the top of its stack.
    PDEVICE_OBJECT topOf(PDEVICE_OBJECT device) const;
    // The device below `device` in its stack, or null.
    PDEVICE_OBJECT lowerOf(PDEVICE_OBJECT device) const;
    void attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);
    void detach(PDEVICE_OBJECT lower);

private:
    uint64_t completions_ = 0;
    std::shared_ptr<IoRequest> start(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, NTSTATUS initial,
                                     const std::vector<uint8_t>& input, ULONG outputLength,
                                     const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                     bool cancelledOnArrival, std::function<void(IoRequest&)> onComplete);
    void finish(IoRequest& request);
    bool hasRequests(PDEVICE_OBJECT device) const;
    void sweepDeleted();

    Kernel& kernel_;
    struct DeviceRecord {
        std::u16string name;
        std::string image; // the driver image that made it
        std::unique_ptr<uint8_t[]> memory;
        PDEVICE_OBJECT lower = nullptr; // the device it is attached to
        bool deleted = false;           // deleted while a request still passes through it
    };
    std::map<PDEVICE_OBJECT, DeviceRecord> devices_;
    size_t deletedInUse_ = 0; // devices deleted while a request still passes through them
    std::map<std::u16string, std::u16string> links_;               // upper-case \??\ name -> target
    std::map<std::u16string, std::vector<std::u16string>> hidden_; // earlier targets, the latest last
    std::map<PIRP, std::shared_ptr<IoRequest>> requests_;
    std::map<PDEVICE_OBJECT, size_t> handles_;
    KSPIN_LOCK cancelLock_ = 0;
};

// Normalises an object name for lookups: \DosDevices\ becomes \??\, letters are upper-cased.
std::u16string canonicalObjectName(std::u16string_view name);

} // namespace nt
