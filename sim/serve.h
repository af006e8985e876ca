// cvsim serve: the machine paced to the wall clock, its COM ports reachable by real programs through
// RFC 2217 (Telnet's Com Port Control option) on loopback TCP ports and through pseudo-terminals. Every
// request a client makes becomes the port driver's own requests: reads, writes, device control and
// wait-on-mask.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct ServeOptions {
    struct Rfc2217 {
        std::string port; // "COM3"
        int tcpPort = 0;  // 0: any free port (the server says which)
    };
    struct Pty {
        std::string port;
        std::string path; // where the slave's name is linked
    };
    std::vector<Rfc2217> rfc2217;
    std::vector<Pty> ptys;
    double speed = 1.0; // machine seconds per wall second
};

// Parses "COM3=7000" or "COM5=run/com5"; false with `error` when the text is not of that form.
bool ParseServeRfc2217(const std::string& text, ServeOptions::Rfc2217& out, std::string& error);
bool ParseServePty(const std::string& text, ServeOptions::Pty& out, std::string& error);

// Boots the machine's driver, serves until `stop` becomes true (the caller's signal handler sets it),
// then stops the driver and reports what the stop removed. Progress and the endpoints go to `out`,
// problems with clients to `log`. The exit status: 0 when everything started and the stop left the
// machine as it was, 1 otherwise, 2 when an endpoint could not be set up.
int RunServe(Machine& machine, const ServeOptions& options, const std::atomic<bool>& stop, std::ostream& out,
             std::ostream& log);

} // namespace sim
