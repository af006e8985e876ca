// What port creation will do for the engine tests until start-up exists: a driver object whose every
// major function is `dispatch`, and the port's device \Device\Serial0 with its link COM3.
#pragma once

#include "CvDevice.h"

inline NTSTATUS CreateHarnessPort(DRIVER_OBJECT& driver, PDRIVER_DISPATCH dispatch, PDEVICE_OBJECT* device) {
    RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
    driver.Type = IO_TYPE_DRIVER;
    for (auto& f : driver.MajorFunction)
        f = dispatch;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Serial0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM3");
    NTSTATUS status =
        IoCreateDevice(&driver, sizeof(CCvDevice), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, device);
    if (!NT_SUCCESS(status))
        return status;
    (*device)->Flags |= DO_BUFFERED_IO;
    static_cast<CCvDevice*>((*device)->DeviceExtension)->DeviceObject = *device;
    status = IoCreateSymbolicLink(&link, &name);
    return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_SUCCESS
                                                  : status; // the link may remain from before
}
