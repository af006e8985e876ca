// A user-mode program's view of a device: open by link name (the I/O manager sends create, and cleanup
// and close when the handle goes), read, write, device control and file information, synchronous or
// overlapped, cancellation of an outstanding request, and waits that run the machine meanwhile.
#pragma once

#include "platform/nt/io.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

namespace nt {

class Kernel;

// What a program sees of a finished request.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    size_t information = 0;
    std::vector<uint8_t> data; // read data or control output
    bool finished = false;     // false when a wait gave up before the request ended
};

class UserFile {
public:
    static constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();

    // Opens "COM3", "\\.\COM3" or "\??\COM3" through its symbolic link, or a device by its \Device name.
    static NTSTATUS open(Kernel& kernel, std::string_view name, std::unique_ptr<UserFile>& file,
                         ULONG createOptions = 0);
    ~UserFile();
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;

    // Cleanup (which cancels nothing by itself: the driver does) and close.
    NTSTATUS close();
    bool isOpen() const { return open_; }

    // Overlapped forms: the request is issued and may still be pending when they return.
    // With `cancelledOnArrival` the program cancels the read as it is sent (CancelIo racing ReadFile).
    std::shared_ptr<IoRequest> startRead(ULONG length, bool cancelledOnArrival = false);
    std::shared_ptr<IoRequest> startWrite(const std::vector<uint8_t>& bytes);
    std::shared_ptr<IoRequest> startControl(ULONG code, const std::vector<uint8_t>& input,
                                            ULONG outputLength);
    std::shared_ptr<IoRequest> startQueryInformation(FILE_INFORMATION_CLASS cls, ULONG length);
    std::shared_ptr<IoRequest> startSetInformation(FILE_INFORMATION_CLASS cls,
                                                   const std::vector<uint8_t>& input);
    std::shared_ptr<IoRequest> startFlush();
    bool cancel(IoRequest& request);
    // Runs the machine until the request ends or virtual time reaches `limit`.
    IoResult wait(const std::shared_ptr<IoRequest>& request, uint64_t limit = kForever);

    // Synchronous forms.
    IoResult read(ULONG length, uint64_t limit = kForever) { return wait(startRead(length), limit); }
    IoResult write(const std::vector<uint8_t>& bytes, uint64_t limit = kForever) {
        return wait(startWrite(bytes), limit);
    }
    IoResult control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                     uint64_t limit = kForever) {
        return wait(startControl(code, input, outputLength), limit);
    }

private:
    UserFile(Kernel& kernel, PDEVICE_OBJECT device);
    std::shared_ptr<IoRequest> issue(UCHAR major, const std::vector<uint8_t>& input, ULONG outputLength,
                                     const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                     bool cancelledOnArrival = false);

    Kernel& kernel_;
    PDEVICE_OBJECT device_;
    FILE_OBJECT file_{};
    bool open_ = false;
};

} // namespace nt
