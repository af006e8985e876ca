#include "sim/serve.h"

#include "sim/mainjob.h"
#include "sim/portbridge.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <utility>
#include <unistd.h>

namespace sim {

namespace {

// How much a client may have sent ahead of the port before the server stops reading from it, and how
// much the server holds for a client before it leaves the port's bytes in the driver.
constexpr size_t kBacklogLimit = 64 * 1024;

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
namespace telnet {
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;
} // namespace telnet

// ---------------------------------------------------------------------------------------------
// A client's TCP connection: what it sent and what waits to be sent to it.
// ---------------------------------------------------------------------------------------------

class Connection {
public:
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void adopt(int fd) {
        fd_ = fd;
        out_.clear();
    }
    void drop() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        out_.clear();
    }
    void queue(const std::vector<uint8_t>& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    bool wantsToWrite() const { return !out_.empty(); }
    size_t queued() const { return out_.size(); }
    // Sends what it can; false when the client is gone.
    bool flush() {
        while (!out_.empty()) {
            const size_t n = std::min<size_t>(out_.size(), 64 * 1024);
            std::vector<uint8_t> chunk(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
            const ssize_t sent = ::send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            out_.erase(out_.begin(), out_.begin() + sent);
        }
        return true;
    }

private:
    int fd_ = -1;
    std::deque<uint8_t> out_;
};

// ---------------------------------------------------------------------------------------------
// RFC 2217: Telnet with the Com Port Control option.
// ---------------------------------------------------------------------------------------------

class Rfc2217Endpoint {
public:
    Rfc2217Endpoint(Machine& machine, std::string port, std::ostream& log)
        : bridge_(machine, std::move(port)), log_(log) {
        bridge_.setLog(log);
    }
    ~Rfc2217Endpoint() {
        if (listen_ >= 0)
            ::close(listen_);
    }

    bool listen(int tcpPort, std::string& error) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int yes = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(tcpPort));
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_, 4) != 0 || !SetNonBlocking(listen_)) {
            error = "cannot listen on 127.0.0.1:" + std::to_string(tcpPort) + ": " + std::strerror(errno);
            return false;
        }
        socklen_t length = sizeof address;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
        tcpPort_ = ntohs(address.sin_port);
        return true;
    }
    int tcpPort() const { return tcpPort_; }
    const std::string& port() const { return bridge_.name(); }

    void addPollFds(std::vector<pollfd>& fds) const {
        fds.push_back({listen_, POLLIN, 0});
        if (client_.isOpen()) {
            short events = client_.wantsToWrite() ? POLLOUT : 0;
            if (bridge_.backlog() < kBacklogLimit)
                events |= POLLIN;
            fds.push_back({client_.fd(), events, 0});
        }
    }

    void onPoll(const std::vector<pollfd>& fds) {
        for (const pollfd& p : fds) {
            if (p.fd == listen_ && (p.revents & POLLIN))
                acceptClient();
            else if (client_.isOpen() && p.fd == client_.fd()) {
                if (p.revents & (POLLIN | POLLHUP | POLLERR))
                    readClient();
                if (client_.isOpen() && (p.revents & POLLOUT) && !client_.flush())
                    disconnect("the client went away");
            }
        }
    }

    // After the machine ran: what the port received goes to the client, with the notifications it asked for.
    void service() {
        if (!client_.isOpen())
            return;
        bridge_.service(client_.queued() < kBacklogLimit);
        std::vector<uint8_t> data = bridge_.takeReceived();
        if (!data.empty())
            sendData(data);
        if (bridge_.takeModemChanged()) {
            const uint8_t state = bridge_.modemState();
            if (state & modemMask_)
                sendCommand(rfc2217::kNotifyModemstate, {static_cast<uint8_t>(state & modemMask_)});
        }
        if (const uint8_t errors = bridge_.takeLineErrors(); errors & lineMask_)
            sendCommand(rfc2217::kNotifyLinestate, {static_cast<uint8_t>(errors & lineMask_)});
        if (client_.wantsToWrite() && !client_.flush())
            disconnect("the client went away");
    }

private:
    void acceptClient() {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0)
            return;
        if (client_.isOpen()) {
            // One client at a time: the port is held open by the first.
            static const char kBusy[] = "the port is in use by another client\r\n";
            ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
            ::close(fd);
            log_ << "cvsim serve: " << port() << ": a second client was refused\n";
            return;
        }
        SetNonBlocking(fd);
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        const NTSTATUS status = bridge_.open();
        if (!NT_SUCCESS(status)) {
            char text[96];
            std::snprintf(text, sizeof text, "the port could not be opened (status %08X)\r\n",
                          unsigned(status));
            ::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
            ::close(fd);
            log_ << "cvsim serve: " << port() << ": " << text;
            return;
        }
        client_.adopt(fd);
        state_ = State::Data;
        answered_.clear();
        sub_.clear();
        overlong_ = false;
        modemMask_ = 0xFF;
        lineMask_ = 0;
        log_ << "cvsim serve: " << port() << ": a client connected\n";
    }

    void disconnect(const char* why) {
        log_ << "cvsim serve: " << port() << ": " << why << "; the port is closed\n";
        client_.drop();
        bridge_.close();
    }

    void readClient() {
        uint8_t buffer[4096];
        const ssize_t n = ::recv(client_.fd(), buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            disconnect("the client left");
            return;
        }
        if (n > 0)
            parse(buffer, static_cast<size_t>(n));
    }

    // The Telnet stream: data with IAC doubled, option negotiation and subnegotiations.
    void parse(const uint8_t* bytes, size_t length) {
        std::vector<uint8_t> data;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t b = bytes[i];
            switch (state_) {
            case State::Data:
                if (b == telnet::kIac)
                    state_ = State::Iac;
                else
                    data.push_back(b);
                break;
            case State::Iac:
                if (b == telnet::kIac) {
                    data.push_back(b);
                    state_ = State::Data;
                } else if (b == telnet::kWill || b == telnet::kWont || b == telnet::kDo ||
                           b == telnet::kDont) {
                    verb_ = b;
                    state_ = State::Option;
                } else if (b == telnet::kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data; // NOP, GA, AYT and the rest: nothing to do
                }
                break;
            case State::Option:
                negotiate(verb_, b);
                state_ = State::Data;
                break;
            case State::Sub:
                if (b == telnet::kIac)
                    state_ = State::SubIac;
                else if (sub_.size() < rfc2217::kMaxSubnegotiation)
                    sub_.push_back(b);
                else
                    overlong_ = true;
                break;
            case State::SubIac:
                if (b == telnet::kSe) {
                    // Data before a command reaches the port before the command acts.
                    if (!data.empty()) {
                        bridge_.send(data.data(), data.size());
                        data.clear();
                    }
                    if (overlong_)
                        log_ << "cvsim serve: " << port() << ": an overlong subnegotiation was ignored\n";
                    else
                        subnegotiation();
                    overlong_ = false;
                    state_ = State::Data;
                } else {
                    if (sub_.size() < rfc2217::kMaxSubnegotiation)
                        sub_.push_back(b); // IAC IAC inside a subnegotiation is one 255
                    state_ = State::Sub;
                }
                break;
            }
        }
        if (!data.empty())
            bridge_.send(data.data(), data.size());
    }

    void negotiate(uint8_t verb, uint8_t option) {
        using namespace telnet;
        // The server does binary transfer, suppresses go-ahead, speaks the Com Port option and lets the
        // client believe it echoes (as RFC 2217 servers answer), and nothing else.
        const bool weDo = option == kBinary || option == kSuppressGoAhead || option == kEcho;
        const bool theyMay = option == kBinary || option == kSuppressGoAhead || option == kComPort;
        uint8_t answer = 0;
        if (verb == kDo)
            answer = weDo ? kWill : kWont;
        else if (verb == kWill)
            answer = theyMay ? kDo : kDont;
        else if (verb == kDont)
            answer = kWont;
        else
            answer = kDont;
        const std::pair<uint8_t, uint8_t> key{answer, option};
        // Each answer once: an option loop between two servers ends here.
        if (answered_.count(key) && (verb == kDo || verb == kWill))
            return;
        answered_.insert(key);
        client_.queue({kIac, answer, option});
        // Once the client speaks the Com Port option, it learns the modem lines at once, as it does on
        // each change.
        if (verb == kWill && option == kComPort)
            sendCommand(rfc2217::kNotifyModemstate,
                        {static_cast<uint8_t>(bridge_.modemState() & modemMask_)});
    }

    void subnegotiation() {
        if (sub_.size() < 2 || sub_[0] != telnet::kComPort) {
            log_ << "cvsim serve: " << port() << ": a subnegotiation of another option was ignored\n";
            return;
        }
        const uint8_t command = sub_[1];
        const std::vector<uint8_t> value(sub_.begin() + 2, sub_.end());
        auto byte = [&](uint8_t fallback) { return value.empty() ? fallback : value[0]; };
        switch (command) {
        case rfc2217::kSignature:
            sendCommand(command, std::vector<uint8_t>{'c', 'v', 's', 'i', 'm'});
            break;
        case rfc2217::kSetBaudrate: {
            uint32_t baud = 0;
            if (value.size() == 4) {
                baud = (uint32_t(value[0]) << 24) | (uint32_t(value[1]) << 16) | (uint32_t(value[2]) << 8) |
                       value[3];
                if (baud != 0 && !bridge_.setBaud(baud))
                    log_ << "cvsim serve: " << port() << ": the driver refused " << baud << " baud\n";
            }
            baud = bridge_.baud(); // the rate in force
            sendCommand(command,
                        {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)});
            break;
        }
        case rfc2217::kSetDatasize: {
            SERIAL_LINE_CONTROL lc = bridge_.line();
            const uint8_t size = byte(0);
            if (size >= 5 && size <= 8) {
                lc.WordLength = size;
                bridge_.setLine(lc);
            }
            sendCommand(command, {bridge_.line().WordLength});
            break;
        }
        case rfc2217::kSetParity: {
            // RFC 2217: 1 none, 2 odd, 3 even, 4 mark, 5 space; the driver's codes are one less.
            SERIAL_LINE_CONTROL lc = bridge_.line();
            const uint8_t parity = byte(0);
            if (parity >= 1 && parity <= 5) {
                lc.Parity = static_cast<UCHAR>(parity - 1);
                bridge_.setLine(lc);
            }
            sendCommand(command, {static_cast<uint8_t>(bridge_.line().Parity + 1)});
            break;
        }
        case rfc2217::kSetStopsize: {
            // RFC 2217: 1 one, 2 two, 3 one and a half.
            SERIAL_LINE_CONTROL lc = bridge_.line();
            static const UCHAR kToDriver[] = {0, STOP_BIT_1, STOP_BITS_2, STOP_BITS_1_5};
            const uint8_t stop = byte(0);
            if (stop >= 1 && stop <= 3) {
                lc.StopBits = kToDriver[stop];
                bridge_.setLine(lc);
            }
            const UCHAR now = bridge_.line().StopBits;
            sendCommand(command, {static_cast<uint8_t>(now == STOP_BITS_2     ? 2
                                                       : now == STOP_BITS_1_5 ? 3
                                                                              : 1)});
            break;
        }
        case rfc2217::kSetControl:
            control(byte(0));
            break;
        case rfc2217::kNotifyLinestate:
            sendCommand(command, {0});
            break;
        case rfc2217::kNotifyModemstate:
            sendCommand(command, {static_cast<uint8_t>(bridge_.modemState() & modemMask_)});
            break;
        case rfc2217::kFlowSuspend:
        case rfc2217::kFlowResume:
            break; // the server never sends faster than its socket takes
        case rfc2217::kSetLinestateMask:
            lineMask_ = byte(0);
            sendCommand(command, {lineMask_});
            break;
        case rfc2217::kSetModemstateMask:
            modemMask_ = byte(0xFF);
            sendCommand(command, {modemMask_});
            break;
        case rfc2217::kPurgeData: {
            const uint8_t which = byte(0);
            if (which >= 1 && which <= 3)
                bridge_.purge(which != 2, which != 1);
            sendCommand(command, {which});
            break;
        }
        default:
            log_ << "cvsim serve: " << port() << ": unknown Com Port command " << int(command)
                 << " ignored\n";
            break;
        }
    }

    void control(uint8_t request) {
        using namespace rfc2217;
        uint8_t answer = request;
        const FlowCodes* setting = FlowCodesFor(request);
        if (setting) {
            bridge_.setFlow(setting->flow);
        } else if (request == kQueryFlow || request == kQueryInboundFlow) {
            const FlowCodes& now = FlowCodesOf(bridge_.flow());
            answer = request == kQueryFlow ? now.outbound : now.inbound;
        } else if (request == kQueryBreak) {
            answer = bridge_.breakOn() ? kBreakOn : kBreakOff;
        } else if (request == kBreakOn || request == kBreakOff) {
            bridge_.setBreak(request == kBreakOn);
        } else if (request == kQueryDtr) {
            answer = (bridge_.dtrRts() & SERIAL_DTR_STATE) ? kDtrOn : kDtrOff;
        } else if (request == kDtrOn || request == kDtrOff) {
            bridge_.setDtr(request == kDtrOn);
        } else if (request == kQueryRts) {
            answer = (bridge_.dtrRts() & SERIAL_RTS_STATE) ? kRtsOn : kRtsOff;
        } else if (request == kRtsOn || request == kRtsOff) {
            bridge_.setRts(request == kRtsOn);
        } else {
            log_ << "cvsim serve: " << port() << ": unknown SET-CONTROL value " << int(request)
                 << " ignored\n";
        }
        sendCommand(kSetControl, {answer});
    }

    void sendCommand(uint8_t command, const std::vector<uint8_t>& value) {
        std::vector<uint8_t> out{telnet::kIac, telnet::kSb, telnet::kComPort,
                                 static_cast<uint8_t>(command + rfc2217::kServerOffset)};
        for (uint8_t b : value) {
            out.push_back(b);
            if (b == telnet::kIac)
                out.push_back(b);
        }
        out.push_back(telnet::kIac);
        out.push_back(telnet::kSe);
        client_.queue(out);
    }

    void sendData(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> out;
        out.reserve(data.size() + 8);
        for (uint8_t b : data) {
            out.push_back(b);
            if (b == telnet::kIac)
                out.push_back(b);
        }
        client_.queue(out);
    }

    enum class State { Data, Iac, Option, Sub, SubIac };

    PortBridge bridge_;
    std::ostream& log_;
    int listen_ = -1;
    int tcpPort_ = 0;
    Connection client_;
    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    bool overlong_ = false;
    std::set<std::pair<uint8_t, uint8_t>> answered_;
    uint8_t modemMask_ = 0xFF, lineMask_ = 0;
};

// ---------------------------------------------------------------------------------------------
// A pseudo-terminal: what a program writes to its slave goes to the port, what the port receives is
// readable there, and the slave's line settings become the port's.
// ---------------------------------------------------------------------------------------------

class PtyEndpoint {
public:
    PtyEndpoint(Machine& machine, std::string port, std::string path, std::ostream& log)
        : bridge_(machine, std::move(port)), path_(std::move(path)), log_(log) {
        bridge_.setLog(log);
    }
    ~PtyEndpoint() {
        if (linked_)
            ::unlink(path_.c_str());
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }

    bool setUp(std::string& error) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || !SetNonBlocking(master_)) {
            error = std::string("no pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        slaveName_ = ptsname(master_);
        // The server keeps the slave open too, so that a program closing it does not hang the master up.
        slave_ = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        if (slave_ < 0 || tcgetattr(slave_, &t) != 0) {
            error = "the pseudo-terminal's slave cannot be opened: " + std::string(std::strerror(errno));
            return false;
        }
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(slave_, TCSANOW, &t);
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = path_ + " exists and is not a link (it is not replaced)";
                return false;
            }
            ::unlink(path_.c_str());
        }
        if (::symlink(slaveName_.c_str(), path_.c_str()) != 0) {
            error = "cannot link " + path_ + ": " + std::strerror(errno);
            return false;
        }
        linked_ = true;
        const NTSTATUS status = bridge_.open();
        if (!NT_SUCCESS(status)) {
            char text[64];
            std::snprintf(text, sizeof text, "%08X", unsigned(status));
            error = bridge_.name() + " could not be opened (status " + text + ")";
            return false;
        }
        applySettings();
        return true;
    }
    const std::string& port() const { return bridge_.name(); }
    const std::string& path() const { return path_; }
    const std::string& slaveName() const { return slaveName_; }

    void addPollFds(std::vector<pollfd>& fds) const {
        short events = toProgram_.empty() ? 0 : POLLOUT;
        if (bridge_.backlog() < kBacklogLimit)
            events |= POLLIN;
        fds.push_back({master_, events, 0});
    }

    void onPoll(const std::vector<pollfd>& fds) {
        for (const pollfd& p : fds) {
            if (p.fd != master_)
                continue;
            if (p.revents & POLLIN) {
                uint8_t buffer[4096];
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                // The program's settings made before it wrote apply to what it wrote.
                applySettings();
                if (n > 0)
                    bridge_.send(buffer, static_cast<size_t>(n));
            }
            if (p.revents & POLLOUT)
                flush();
        }
    }

    void service() {
        applySettings();
        bridge_.service(toProgram_.size() < kBacklogLimit);
        std::vector<uint8_t> data = bridge_.takeReceived();
        toProgram_.insert(toProgram_.end(), data.begin(), data.end());
        flush();
    }

private:
    void flush() {
        while (!toProgram_.empty()) {
            const size_t n = std::min<size_t>(toProgram_.size(), 4096);
            std::vector<uint8_t> chunk(toProgram_.begin(),
                                       toProgram_.begin() + static_cast<std::ptrdiff_t>(n));
            const ssize_t written = ::write(master_, chunk.data(), chunk.size());
            if (written <= 0)
                return;
            toProgram_.erase(toProgram_.begin(), toProgram_.begin() + written);
        }
    }

    // What a program set with tcsetattr becomes the port's settings.
    void applySettings() {
        termios t{};
        if (tcgetattr(slave_, &t) != 0)
            return;
        const speed_t speed = cfgetospeed(&t);
        const tcflag_t cflag = t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        const tcflag_t iflag = t.c_iflag & (IXON | IXOFF);
        if (applied_ && speed == speed_ && cflag == cflag_ && iflag == iflag_)
            return;
        applied_ = true;
        speed_ = speed;
        cflag_ = cflag;
        iflag_ = iflag;
        if (const uint32_t baud = BaudOf(speed); baud && !bridge_.setBaud(baud))
            log_ << "cvsim serve: " << port() << ": the driver refused " << baud << " baud\n";
        SERIAL_LINE_CONTROL lc{};
        const tcflag_t size = cflag & CSIZE;
        lc.WordLength = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
        lc.Parity = !(cflag & PARENB) ? NO_PARITY : (cflag & PARODD) ? ODD_PARITY : EVEN_PARITY;
        lc.StopBits = (cflag & CSTOPB) ? STOP_BITS_2 : STOP_BIT_1;
        bridge_.setLine(lc);
        bridge_.setFlow((cflag & CRTSCTS)          ? Flow::RtsCts
                        : (iflag & (IXON | IXOFF)) ? Flow::XonXoff
                                                   : Flow::None);
    }

    static uint32_t BaudOf(speed_t speed) {
        static const std::pair<speed_t, uint32_t> kSpeeds[] = {
            {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
            {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
            {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
            {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
        for (auto [code, baud] : kSpeeds)
            if (code == speed)
                return baud;
        return 0;
    }

    PortBridge bridge_;
    std::string path_;
    std::ostream& log_;
    int master_ = -1, slave_ = -1;
    std::string slaveName_;
    bool linked_ = false;
    std::deque<uint8_t> toProgram_;
    bool applied_ = false;
    speed_t speed_ = 0;
    tcflag_t cflag_ = 0, iflag_ = 0;
};

// What each UART of the machine is set to, as its registers say; a change is reported, so that a person
// (or a test) sees what a client's settings did to the hardware.
class UartWatch {
public:
    explicit UartWatch(Machine& machine) : machine_(machine) {}
    void report(std::ostream& out) {
        for (uint16_t address : machine_.uartAddresses()) {
            const hw::Uart* uart = machine_.uartAt(address);
            if (!uart)
                continue;
            const std::string now = Describe(*uart);
            std::string& last = last_[address];
            if (!last.empty() && now != last)
                out << "cvsim serve: UART " << std::hex << std::uppercase << address << std::dec << ": "
                    << now << "\n";
            last = now;
        }
    }

private:
    static std::string Describe(const hw::Uart& uart) {
        const hw::Frame f = uart.currentFormat();
        using namespace hw::reg;
        const char* parity = f.parity == LCR_ODD_PARITY     ? "odd"
                             : f.parity == LCR_EVEN_PARITY  ? "even"
                             : f.parity == LCR_MARK_PARITY  ? "mark"
                             : f.parity == LCR_SPACE_PARITY ? "space"
                                                            : "none";
        char text[160];
        std::snprintf(text, sizeof text, "%.0f baud (divisor %u), %u data bits, parity %s, %g stop bits%s",
                      uart.baudRate(), unsigned(uart.divisor()), f.dataBits, parity, f.stopBits,
                      uart.breakOn() ? ", break" : "");
        return text;
    }
    Machine& machine_;
    std::map<uint16_t, std::string> last_;
};

bool ParsePair(const std::string& text, std::string& port, std::string& value) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= text.size())
        return false;
    port = text.substr(0, equals);
    value = text.substr(equals + 1);
    if (port.size() < 4 || port.size() > 6 || port.compare(0, 3, "COM") != 0)
        return false;
    for (size_t i = 3; i < port.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(port[i])))
            return false;
    return true;
}

} // namespace

bool ParseServeRfc2217(const std::string& text, ServeOptions::Rfc2217& out, std::string& error) {
    std::string port, value;
    char* end = nullptr;
    const long tcp = ParsePair(text, port, value) ? std::strtol(value.c_str(), &end, 10) : -1;
    if (!end || *end || tcp < 0 || tcp > 65535) {
        error =
            "\"" + text.substr(0, 64) + "\" is not COMn=TCPPORT (a port number from 0, any free, to 65535)";
        return false;
    }
    out = {port, static_cast<int>(tcp)};
    return true;
}

bool ParseServePty(const std::string& text, ServeOptions::Pty& out, std::string& error) {
    std::string port, path;
    if (!ParsePair(text, port, path) || path.size() > 1024) {
        error = "\"" + text.substr(0, 64) + "\" is not COMn=PATH";
        return false;
    }
    out = {port, path};
    return true;
}

int RunServe(Machine& machine, const ServeOptions& options, const std::atomic<bool>& stop, std::ostream& out,
             std::ostream& log) {
    nt::Kernel& kernel = machine.kernel();
    std::set<std::string> before;
    if (machine.pnp()) {
        machine.boot();
    } else {
        before = Inventory(kernel);
        nt::KernelScope scope(kernel);
        const uint32_t error = machine.startCvNt();
        out << "cvsim serve: CvNt started: Win32 error " << error << "\n";
        if (error != 0)
            return 1;
    }
    std::vector<std::unique_ptr<Rfc2217Endpoint>> servers;
    std::vector<std::unique_ptr<PtyEndpoint>> ptys;
    for (const auto& r : options.rfc2217) {
        auto endpoint = std::make_unique<Rfc2217Endpoint>(machine, r.port, log);
        std::string error;
        if (!endpoint->listen(r.tcpPort, error)) {
            log << "cvsim serve: " << r.port << ": " << error << "\n";
            return 2;
        }
        out << "cvsim serve: " << r.port << " on rfc2217://127.0.0.1:" << endpoint->tcpPort() << "\n";
        servers.push_back(std::move(endpoint));
    }
    for (const auto& p : options.ptys) {
        auto endpoint = std::make_unique<PtyEndpoint>(machine, p.port, p.path, log);
        std::string error;
        if (!endpoint->setUp(error)) {
            log << "cvsim serve: " << p.port << ": " << error << "\n";
            return 2;
        }
        out << "cvsim serve: " << p.port << " on " << p.path << " (" << endpoint->slaveName() << ")\n";
        ptys.push_back(std::move(endpoint));
    }
    out << "cvsim serve: ready, machine time paced at " << options.speed << " times the wall clock\n";
    out.flush();
    UartWatch uarts(machine);
    uarts.report(out);

    using Clock = std::chrono::steady_clock;
    const auto wallStart = Clock::now();
    const uint64_t machineStart = kernel.now();
    uint64_t behind = 0; // how far the machine fell behind the wall clock at worst (ticks)
    while (!stop.load()) {
        // Machine time follows the wall clock.
        const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
        const uint64_t target = machineStart + static_cast<uint64_t>(wall * options.speed * 10'000'000.0);
        if (kernel.now() < target) {
            nt::KernelScope scope(kernel);
            kernel.runUntil(target);
        }
        for (auto& s : servers)
            s->service();
        for (auto& p : ptys)
            p->service();
        std::vector<pollfd> fds;
        for (const auto& s : servers)
            s->addPollFds(fds);
        for (const auto& p : ptys)
            p->addPollFds(fds);
        if (::poll(fds.data(), fds.size(), 1) > 0) {
            for (auto& s : servers)
                s->onPoll(fds);
            for (auto& p : ptys)
                p->onPoll(fds);
        }
        uarts.report(out);
        out.flush();
        const double after = std::chrono::duration<double>(Clock::now() - wallStart).count();
        const uint64_t due = machineStart + static_cast<uint64_t>(after * options.speed * 10'000'000.0);
        behind = std::max(behind, due > kernel.now() ? due - kernel.now() : 0);
    }
    out << "cvsim serve: stopping after " << (kernel.now() - machineStart) / 10'000'000.0
        << " s of machine time (at most " << behind / 10'000.0 << " ms behind the wall clock)\n";
    servers.clear();
    ptys.clear();
    if (machine.pnp())
        return 0;
    const std::set<std::string> during = Inventory(kernel);
    uint32_t error = 0;
    {
        nt::KernelScope scope(kernel);
        error = machine.stopCvNt();
    }
    out << "cvsim serve: CvNt stopped: Win32 error " << error << "\n";
    const std::set<std::string> after = Inventory(kernel);
    out << "  removed by the stop:\n";
    for (const auto& item : during)
        if (!after.count(item))
            out << "    " << item << "\n";
    for (const auto& item : after)
        if (!before.count(item))
            out << "  LEFT BEHIND: " << item << "\n";
    const bool restored = before == after;
    if (restored)
        out << "  the machine is as it was before the start\n";
    return restored && error == 0 ? 0 : 1;
}

} // namespace sim
