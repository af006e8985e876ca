// cvsim ui: the machine and the suite's dialogs in a web page on 127.0.0.1. The machine runs paced to
// the wall clock; the page draws every open window from the dialog layer's own state and sends what a
// person does back as the dialog layer's input, and it shows the machine's event log, SERIALCOMM, the
// driver's registry tree, the services, the ports and a terminal on any COM port.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <ostream>

namespace sim {

struct UiOptions {
    int port = 0; // 0: any free port (the server says which)
};

// Serves until `stop` becomes true. The address goes to `out` ("cvsim ui: http://127.0.0.1:N/"),
// problems with requests to `log`. The exit status: 0 after a clean stop, 2 when the port cannot be had.
int RunUi(Machine& machine, const UiOptions& options, const std::atomic<bool>& stop, std::ostream& out,
          std::ostream& log);

} // namespace sim
