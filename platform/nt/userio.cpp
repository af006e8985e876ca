#include "platform/nt/userio.h"

#include "platform/nt/kernel.h"

namespace nt {

UserFile::UserFile(Kernel& kernel, PDEVICE_OBJECT device) : kernel_(kernel), device_(device) {
    file_.Type = 5; // a file object
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
}

UserFile::~UserFile() {
    if (open_)
        close();
}

NTSTATUS UserFile::open(Kernel& kernel, std::string_view name, std::unique_ptr<UserFile>& file,
                        ULONG createOptions) {
    std::u16string wide = toUtf16(name);
    if (wide.rfind(u"\\\\.\\", 0) == 0 || wide.rfind(u"\\\\?\\", 0) == 0)
        wide = u"\\??\\" + wide.substr(4);
    else if (wide.find(u'\\') == std::u16string::npos)
        wide = u"\\??\\" + wide;
    PDEVICE_OBJECT device = nullptr;
    if (auto target = kernel.io().linkTarget(wide))
        device = kernel.io().device(*target);
    else
        device = kernel.io().device(wide);
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // Requests go to the top of the device's stack; the handle is counted there.
    device = kernel.io().topOf(device);
    // An exclusive device (as every serial port is) takes one handle at a time; the I/O manager refuses
    // a second open without asking the driver.
    if ((device->Flags & DO_EXCLUSIVE) && kernel.io().openHandles(device) > 0)
        return STATUS_ACCESS_DENIED;
    std::unique_ptr<UserFile> opened(new UserFile(kernel, device));
    auto request = opened->issue(IRP_MJ_CREATE, {}, 0, [createOptions](IO_STACK_LOCATION& s) {
        s.Parameters.Create.Options = createOptions;
    });
    IoResult result = opened->wait(request);
    if (!NT_SUCCESS(result.status))
        return result.status;
    opened->open_ = true;
    kernel.io().handleOpened(device);
    file = std::move(opened);
    return result.status;
}

std::shared_ptr<IoRequest> UserFile::issue(UCHAR major, const std::vector<uint8_t>& input, ULONG outputLength,
                                           const std::function<void(IO_STACK_LOCATION&)>& parameters,
                                           bool cancelledOnArrival) {
    KernelScope scope(kernel_);
    return kernel_.io().issue(device_, &file_, major, input, outputLength, parameters, cancelledOnArrival);
}

NTSTATUS UserFile::close() {
    if (!open_)
        return STATUS_INVALID_HANDLE;
    open_ = false;
    IoResult cleanup = wait(issue(IRP_MJ_CLEANUP, {}, 0, nullptr));
    IoResult closed = wait(issue(IRP_MJ_CLOSE, {}, 0, nullptr));
    kernel_.io().handleClosed(device_);
    return NT_SUCCESS(cleanup.status) ? closed.status : cleanup.status;
}

std::shared_ptr<IoRequest> UserFile::startRead(ULONG length, bool cancelledOnArrival) {
    return issue(
        IRP_MJ_READ, {}, length, [length](IO_STACK_LOCATION& s) { s.Parameters.Read.Length = length; },
        cancelledOnArrival);
}

std::shared_ptr<IoRequest> UserFile::startWrite(const std::vector<uint8_t>& bytes) {
    auto length = static_cast<ULONG>(bytes.size());
    return issue(IRP_MJ_WRITE, bytes, 0,
                 [length](IO_STACK_LOCATION& s) { s.Parameters.Write.Length = length; });
}

std::shared_ptr<IoRequest> UserFile::startControl(ULONG code, const std::vector<uint8_t>& input,
                                                  ULONG outputLength) {
    auto inputLength = static_cast<ULONG>(input.size());
    return issue(IRP_MJ_DEVICE_CONTROL, input, outputLength, [=](IO_STACK_LOCATION& s) {
        s.Parameters.DeviceIoControl.IoControlCode = code;
        s.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        s.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    });
}

std::shared_ptr<IoRequest> UserFile::startQueryInformation(FILE_INFORMATION_CLASS cls, ULONG length) {
    return issue(IRP_MJ_QUERY_INFORMATION, {}, length, [=](IO_STACK_LOCATION& s) {
        s.Parameters.QueryFile.Length = length;
        s.Parameters.QueryFile.FileInformationClass = cls;
    });
}

std::shared_ptr<IoRequest> UserFile::startSetInformation(FILE_INFORMATION_CLASS cls,
                                                         const std::vector<uint8_t>& input) {
    auto length = static_cast<ULONG>(input.size());
    return issue(IRP_MJ_SET_INFORMATION, input, 0, [=](IO_STACK_LOCATION& s) {
        s.Parameters.SetFile.Length = length;
        s.Parameters.SetFile.FileInformationClass = cls;
    });
}

std::shared_ptr<IoRequest> UserFile::startFlush() {
    return issue(IRP_MJ_FLUSH_BUFFERS, {}, 0, nullptr);
}

bool UserFile::cancel(IoRequest& request) {
    KernelScope scope(kernel_);
    return kernel_.io().cancel(request);
}

IoResult UserFile::wait(const std::shared_ptr<IoRequest>& request, uint64_t limit) {
    KernelScope scope(kernel_);
    kernel_.runUntil([&] { return request->completed && !request->irp; }, limit);
    IoResult result;
    result.finished = request->completed && !request->irp;
    result.status = result.finished ? request->status : STATUS_PENDING;
    result.information = request->information;
    result.data = request->output;
    return result;
}

} // namespace nt
