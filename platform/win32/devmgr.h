// The Windows 2000 device manager as far as a device's property sheet goes: it opens the sheet of a
// device with its General page, the Ports class's Port Settings page for a COM port, and the pages of the
// provider its driver key names ("EnumPropPages32" = "library,entry"); once the sheet closes, a device
// whose pages asked for it (DI_PROPERTIES_CHANGE) is restarted.
#pragma once

#include "platform/win32/desktop.h"

#include <string>

namespace win32 {

// The device manager's module; the desktop installs it.
Module DeviceManagerModule();

// Runs the property sheet of a device, named by its instance path, its friendly name or its
// description, on the desktop's program thread. What happened, for the caller to report.
struct DevicePropertiesResult {
    bool found = false;
    int pages = 0;           // pages on the sheet
    INT_PTR sheetResult = 0; // 1 for OK, 0 for Cancel
    bool restarted = false;  // the device was restarted after the sheet closed
    std::string vetoedBy;    // the device that refused the restart
};
DevicePropertiesResult RunDeviceProperties(const std::string& device);

} // namespace win32
