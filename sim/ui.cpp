#include "sim/ui.h"
#include "sim/mainjob.h"
#include "sim/pnpdevices.h"
#include "sim/uipage.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/registry.h"
#include "platform/nt/services.h"
#include "platform/nt/userio.h"
#include "platform/win32/devmgr.h"
#include "platform/win32/user.h"
#include "platform/win32/window.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

namespace {

using Json = nlohmann::json;

// An answer to a request: its HTTP status, its body and the body's type.
struct Answer {
    int status = 200;
    std::string body;
    std::string type = "application/json";
};

Answer Error(int status, const std::string& message) {
    return {status, Json{{"error", message}}.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

Answer Ok(const Json& value) {
    return {200, value.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

// Work the server's threads hand to the machine's thread, which alone touches the machine.
class MachineQueue {
public:
    // Runs `work` on the machine's thread and returns its answer; 503 once the machine has stopped.
    Answer run(std::function<Answer()> work) {
        std::packaged_task<Answer()> task(std::move(work));
        std::future<Answer> done = task.get_future();
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return Error(503, "the machine has stopped");
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
        return done.get();
    }
    // On the machine's thread: runs what is waiting, after waiting at most `wait` for something.
    void serve(std::chrono::milliseconds wait) {
        std::deque<std::packaged_task<Answer()>> tasks;
        {
            std::unique_lock lock(mutex_);
            ready_.wait_for(lock, wait, [&] { return !tasks_.empty(); });
            tasks.swap(tasks_);
        }
        for (auto& task : tasks)
            task();
    }
    void close() {
        std::deque<std::packaged_task<Answer()>> tasks;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) // nobody will run them: they answer that the machine stopped
            task = std::packaged_task<Answer()>([] { return Error(503, "the machine has stopped"); }), task();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<Answer()>> tasks_;
    bool closed_ = false;
};

// A COM port the page holds open for its terminal: what arrived, kept for the page to show.
struct Terminal {
    std::unique_ptr<nt::UserFile> file;
    std::shared_ptr<nt::IoRequest> read;
    std::vector<std::shared_ptr<nt::IoRequest>> writes;
    std::string received;
    uint64_t sent = 0;
};

constexpr char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr size_t kMaxTerminalText = 64 * 1024; // kept of what arrived; older text is dropped
constexpr size_t kMaxTyped = 4096;             // one request's typing
constexpr size_t kMaxBody = 64 * 1024;         // the largest request the page sends

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

// The machine as the page sees it.
class UiMachine {
public:
    explicit UiMachine(Machine& machine) : machine_(machine), kernel_(machine.kernel()) {}
    ~UiMachine() { terminals_.clear(); }

    Json state();
    Answer act(const Json& request);
    Answer desktopAction(const Json& request);
    Answer view(const std::string& name);
    Answer terminal(const Json& request);
    Answer image(uintptr_t handle);
    Answer bitmap(uintptr_t handle);
    // Keeps each terminal's read going and collects what arrived.
    void serviceTerminals();

private:
    Json windowJson(const win32::Window& w) const;
    Json deviceJson(const w2k::DeviceNode& node) const;
    std::vector<std::string> comPorts() const;
    Json portsView();
    win32::Desktop& desktop() { return machine_.desktop(); }

    Machine& machine_;
    nt::Kernel& kernel_;
    std::map<std::string, Terminal> terminals_;
};

std::string Narrow(const std::u16string& text) {
    return nt::toUtf8(text);
}

// A string value's text, with or without its terminating null.
std::string StringOf(const nt::RegValue& value) {
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return Narrow(text);
}

Json UiMachine::windowJson(const win32::Window& w) const {
    Json j = {{"h", reinterpret_cast<uintptr_t>(w.handle)},
              {"kind", w.kind()},
              {"text", w.text},
              {"id", w.id},
              {"x", w.rect.left},
              {"y", w.rect.top},
              {"w", w.rect.right - w.rect.left},
              {"ht", w.rect.bottom - w.rect.top},
              {"enabled", w.enabled}};
    if (w.button) {
        j["check"] = w.button->check;
        j["default"] = w.buttonType() == BS_DEFPUSHBUTTON;
    }
    if (w.list) {
        Json items = Json::array();
        for (const auto& item : w.list->items)
            items.push_back(item.text);
        j["items"] = items;
        j["selection"] = w.list->selection;
    }
    if (w.listView) {
        Json columns = Json::array(), rows = Json::array();
        for (const auto& c : w.listView->columns)
            columns.push_back({{"header", c.header}, {"width", c.width}});
        // Each row's image as a piece of its list's bitmap strip: the page shows the strip offset to it.
        const win32::ImageList* list =
            machine_.desktop().imageList(w.listView->small ? w.listView->small : w.listView->normal);
        for (const auto& r : w.listView->rows) {
            Json row = {{"texts", r.texts}, {"image", r.image}, {"selected", (r.state & LVIS_SELECTED) != 0}};
            if (list && r.image >= 0 && size_t(r.image) < list->images.size()) {
                const auto& image = list->images[size_t(r.image)];
                row["strip"] = {{"bitmap", reinterpret_cast<uintptr_t>(image.bitmap)},
                                {"x", image.index * list->cx},
                                {"cx", list->cx},
                                {"cy", list->cy},
                                {"mask", list->mask}};
            }
            rows.push_back(row);
        }
        j["columns"] = columns;
        j["rows"] = rows;
    }
    if (w.range)
        j["range"] = {{"min", w.range->min}, {"max", w.range->max}, {"pos", w.range->pos}};
    if (w.staticState) {
        const uintptr_t image = w.staticState->icon ? reinterpret_cast<uintptr_t>(w.staticState->icon)
                                                    : reinterpret_cast<uintptr_t>(w.staticState->bitmap);
        if (image)
            j["image"] = true;
    }
    Json children = Json::array();
    for (HWND h : w.children)
        if (const win32::Window* c = machine_.desktop().window(h); c && c->visible)
            children.push_back(windowJson(*c));
    j["children"] = children;
    return j;
}

Json UiMachine::deviceJson(const w2k::DeviceNode& node) const {
    Json j = {{"instance", Narrow(node.instancePath())},
              {"description", Narrow(node.description.empty() ? node.deviceId : node.description)},
              {"service", node.service},
              {"problem", node.problem}};
    Json children = Json::array();
    for (const auto& c : node.children)
        if (c->present)
            children.push_back(deviceJson(*c));
    j["children"] = children;
    return j;
}

Json UiMachine::state() {
    win32::Desktop& d = desktop();
    Json windows = Json::array();
    const win32::Window* active = d.activeWindow();
    for (const win32::Window* w : d.topLevelWindows()) {
        if (!w->visible || w->rect.right <= w->rect.left || w->rect.bottom <= w->rect.top)
            continue; // the shell's windows and hidden hosts are not drawn
        Json j = windowJson(*w);
        j["active"] = w == active;
        j["sheet"] = w->sheet.has_value();
        j["wizard"] = w->sheet && w->sheet->wizard;
        windows.push_back(j);
    }
    Json state = {{"system", machine_.windows2000() ? "Windows 2000" : "Windows NT 4.0"},
                  {"time", double(kernel_.now()) / 1e7},
                  {"program", d.programRunning() ? d.programName() : ""},
                  {"windows", windows}};
    if (PnpDevices* pnp = machine_.pnp())
        state["devices"] = deviceJson(pnp->manager().root());
    return state;
}

Answer UiMachine::act(const Json& request) {
    win32::Desktop& d = desktop();
    if (!request.contains("window") || !request["window"].is_number_unsigned() ||
        !request.contains("action") || !request["action"].is_string())
        return Error(400, "an action names its window (a number) and its action (a text)");
    const HWND top = reinterpret_cast<HWND>(request["window"].get<uintptr_t>());
    win32::Window* window = d.window(top);
    const auto tops = d.topLevelWindows();
    if (!window || std::find(tops.begin(), tops.end(), window) == tops.end())
        return Error(404, "that window is gone");
    const std::string action = request["action"];
    std::string control, error;
    if (request.contains("control")) {
        if (!request["control"].is_number_unsigned())
            return Error(400, "a control is named by its number");
        control = "hwnd:" + std::to_string(request["control"].get<uintptr_t>());
    }
    // A window under a modal one takes no input, as a click on it brings the modal one forward.
    if (!window->enabled || (d.activeWindow() != window && !d.activate(top)))
        return Error(409, "\"" + window->text + "\" waits for another window to close first");
    const Json value = request.value("value", Json());
    win32::User user(d);
    bool done = false;
    if (action == "click")
        done = user.click(control, error);
    else if (action == "command") // what a test tool does for a button a person cannot press
        done = user.command(control, error);
    else if (action == "type" && value.is_string() && value.get<std::string>().size() <= kMaxTyped)
        done = user.type(control, value.get<std::string>(), error);
    else if (action == "choose" && value.is_number_integer())
        done = user.choose(control, "#" + std::to_string(value.get<int>()), error);
    else if (action == "slide" && value.is_number_integer())
        done = user.slide(control, value.get<int>(), error);
    else if ((action == "select-row" || action == "open-row") && value.is_number_integer())
        done = user.selectRow(control, value.get<int>(), action == "open-row", error);
    else if (action == "tab" && value.is_number_integer())
        done = user.selectTab("#" + std::to_string(value.get<int>()), error);
    else if (action == "close")
        done = user.close(error);
    else if (action == "activate")
        done = true;
    else
        return Error(400, "\"" + action.substr(0, 32) +
                              "\" is not click, command, type (a text), choose, slide, select-row, open-row, "
                              "tab (a number), close or activate");
    if (!done)
        return Error(409, error.empty() ? "the window did not take it" : error);
    return Ok(state());
}

Answer UiMachine::desktopAction(const Json& request) {
    if (!request.contains("action") || !request["action"].is_string())
        return Error(400, "a desktop action is named by its action (a text)");
    win32::Desktop& d = desktop();
    const std::string action = request["action"];
    bool started = false;
    if (action == "applet") {
        started = d.start("Control Panel", [] { win32::RunControlPanel("CvPci.cpl", 0); });
    } else if (action == "cleanup") {
        started = d.start("CvClean.exe Corvane", [] { win32::RunProgram("CvClean.exe Corvane"); });
    } else if (action == "properties" && request.contains("device") && request["device"].is_string()) {
        if (!machine_.pnp())
            return Error(400, "the device manager runs on Windows 2000 machines only");
        const std::string device = request["device"];
        started = d.start("Device Manager", [device] { win32::RunDeviceProperties(device); });
    } else {
        return Error(400,
                     "\"" + action.substr(0, 32) + "\" is not applet, cleanup or properties (with a device)");
    }
    if (!started)
        return Error(409, "\"" + d.programName() + "\" still runs; close its windows first");
    return Ok(state());
}

std::vector<std::string> UiMachine::comPorts() const {
    std::vector<std::string> ports;
    if (auto key = kernel_.registry().open(std::string(kSerialComm)))
        for (const auto& v : key->values)
            ports.push_back(StringOf(v));
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return ports;
}

Json UiMachine::portsView() {
    // Each port's UART, for the characters that crossed its line whether or not the page holds it open.
    std::map<std::string, uint16_t> addresses;
    if (PnpDevices* pnp = machine_.pnp()) {
        for (const PnpDevices::Port& port : pnp->ports())
            addresses[port.name] = port.address;
    } else {
        for (const CvNtPort& port : CvNtPorts(machine_))
            addresses[port.name] = port.address;
    }
    Json ports = Json::array();
    for (const std::string& name : comPorts()) {
        Json p = {{"port", name}, {"open", terminals_.count(name) != 0}};
        if (auto at = addresses.find(name); at != addresses.end())
            if (const hw::Uart* uart = machine_.uartAt(at->second)) {
                char address[8];
                std::snprintf(address, sizeof address, "%X", at->second);
                p["address"] = address;
                p["lineSent"] = uart->charactersSent();
                p["lineReceived"] = uart->charactersReceived();
            }
        if (auto it = terminals_.find(name); it != terminals_.end()) {
            nt::IoResult r = it->second.file->control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS),
                                                      kernel_.now() + 1'000'000);
            SERIALPERF_STATS st{};
            if (NT_SUCCESS(r.status) && r.data.size() == sizeof st) {
                std::memcpy(&st, r.data.data(), sizeof st);
                p["received"] = st.ReceivedCount;
                p["transmitted"] = st.TransmittedCount;
                p["frameErrors"] = st.FrameErrorCount;
                p["overruns"] = st.SerialOverrunErrorCount;
                p["parityErrors"] = st.ParityErrorCount;
            }
            p["text"] = it->second.received;
        }
        ports.push_back(p);
    }
    return ports;
}

Answer UiMachine::view(const std::string& name) {
    auto& registry = kernel_.registry();
    const std::string service = machine_.windows2000() ? "CvInstal" : "CvNt";
    std::string text;
    if (name == "eventlog") {
        text = kernel_.eventLog().renderAll();
    } else if (name == "serialcomm") {
        // As a registry editor lists the key: each device and the name it published.
        if (auto key = registry.open(std::string(kSerialComm)))
            for (const auto& v : key->values)
                text += Narrow(v.name) + " = " + StringOf(v) + "\n";
    } else if (name == "registry") {
        text = registry.saveText("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + service);
    } else if (name == "services") {
        const std::string root = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
        if (auto key = registry.open(root))
            for (const auto& sub : key->subkeys) {
                const std::string n = Narrow(sub->name);
                const std::string path = root + "\\" + n;
                if (!registry.string(path, "ImagePath") && !sub->value(u"Type"))
                    continue;
                text += n + ": " + (kernel_.services().running(n) ? "running" : "stopped") + "\n";
            }
    } else if (name == "ports") {
        return Ok(portsView());
    } else {
        return Error(404, "there is no view \"" + name.substr(0, 32) +
                              "\" (eventlog, serialcomm, registry, services, ports)");
    }
    return Ok(Json{{"text", text}});
}

Answer UiMachine::terminal(const Json& request) {
    if (!request.contains("port") || !request["port"].is_string() || !request.contains("action") ||
        !request["action"].is_string())
        return Error(400, "a terminal request names its port and its action (open, close or send)");
    const std::string port = request["port"], action = request["action"];
    const auto ports = comPorts();
    if (std::find(ports.begin(), ports.end(), port) == ports.end())
        return Error(404, "the machine has no port \"" + port.substr(0, 32) + "\"");
    auto it = terminals_.find(port);
    if (action == "open") {
        if (it != terminals_.end())
            return Ok(portsView());
        Terminal t;
        const NTSTATUS status = nt::UserFile::open(kernel_, port, t.file);
        if (!NT_SUCCESS(status)) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
            return Error(409, port + " cannot be opened (" + text + ")");
        }
        // 115200 8N1, reads that return at once with what has arrived.
        SERIAL_BAUD_RATE baud{115200};
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
        t.file->control(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud), 0);
        t.file->control(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line), 0);
        t.file->control(IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow), 0);
        t.file->control(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
        terminals_[port] = std::move(t);
    } else if (it == terminals_.end()) {
        return Error(409, port + " is not open in a terminal");
    } else if (action == "close") {
        it->second.file->close();
        terminals_.erase(it);
    } else if (action == "send" && request.contains("text") && request["text"].is_string() &&
               request["text"].get<std::string>().size() <= kMaxTyped) {
        const std::string text = request["text"];
        it->second.writes.push_back(
            it->second.file->startWrite(std::vector<uint8_t>(text.begin(), text.end())));
        it->second.sent += text.size();
    } else {
        return Error(400, "a terminal's action is open, close or send (with a text up to 4096 bytes)");
    }
    return Ok(portsView());
}

Answer UiMachine::bitmap(uintptr_t handle) {
    // Only bitmaps of the programs' own resources: a handle is looked up, never followed.
    const win32::ImageResource* image =
        win32::ImageOf(desktop(), handle & ~win32::kBitmapFlag, win32::ImageKind::Bitmap);
    if (!(handle & win32::kBitmapFlag) || !image)
        return Error(404, "there is no such bitmap");
    return {200, std::string(reinterpret_cast<const char*>(image->data), image->size), "image/bmp"};
}

Answer UiMachine::image(uintptr_t handle) {
    const win32::Window* w = desktop().window(reinterpret_cast<HWND>(handle));
    if (!w || !w->staticState)
        return Error(404, "that control is gone or shows no image");
    const win32::ImageResource* image = nullptr;
    std::string type;
    if (w->staticState->icon) {
        image = win32::ImageOf(desktop(), reinterpret_cast<uintptr_t>(w->staticState->icon),
                               win32::ImageKind::Icon);
        type = "image/x-icon";
    } else if (w->staticState->bitmap) {
        image = win32::ImageOf(desktop(),
                               reinterpret_cast<uintptr_t>(w->staticState->bitmap) & ~win32::kBitmapFlag,
                               win32::ImageKind::Bitmap);
        type = "image/bmp";
    }
    if (!image)
        return Error(404, "the image is not among its program's resources");
    return {200, std::string(reinterpret_cast<const char*>(image->data), image->size), type};
}

void UiMachine::serviceTerminals() {
    for (auto& [name, t] : terminals_) {
        std::erase_if(t.writes, [](const auto& w) { return w->completed && !w->irp; });
        if (t.read && !(t.read->completed && !t.read->irp))
            continue;
        if (t.read && NT_SUCCESS(t.read->status)) {
            t.received.append(t.read->output.begin(), t.read->output.end());
            if (t.received.size() > kMaxTerminalText)
                t.received.erase(0, t.received.size() - kMaxTerminalText);
        }
        t.read = t.file->startRead(256);
    }
}

// Parses a request's body as a JSON object; false with the answer to give otherwise.
bool BodyOf(const httplib::Request& request, Json& body, Answer& refusal) {
    if (request.body.size() > kMaxBody) {
        refusal = Error(413, "a request is at most 64 KiB");
        return false;
    }
    body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        refusal = Error(400, "the request is not a JSON object");
        return false;
    }
    return true;
}

void Reply(httplib::Response& response, const Answer& answer) {
    response.status = answer.status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(answer.body, answer.type.c_str());
}

} // namespace

int RunUi(Machine& machine, const UiOptions& options, const std::atomic<bool>& stop, std::ostream& out,
          std::ostream& log) {
    nt::Kernel& kernel = machine.kernel();
    {
        nt::KernelScope scope(kernel);
        machine.boot();
        if (!machine.windows2000()) {
            const uint32_t error = machine.startCvNt();
            out << "cvsim ui: CvNt started: Win32 error " << error << "\n";
        }
        machine.desktop().setInteractiveBoxes(true);
    }
    UiMachine ui(machine);
    MachineQueue queue;
    httplib::Server server;
    server.set_payload_max_length(kMaxBody + 1);
    for (const UiFile& file : UiFiles())
        server.Get(file.path, [&file](const httplib::Request&, httplib::Response& response) {
            response.set_content(file.text, file.type);
        });
    auto onMachine = [&queue](std::function<Answer()> work) {
        return [&queue, work](const httplib::Request&, httplib::Response& response) {
            Reply(response, queue.run(work));
        };
    };
    auto withBody = [&queue](std::function<Answer(const Json&)> work) {
        return [&queue, work](const httplib::Request& request, httplib::Response& response) {
            Json body;
            Answer refusal;
            if (!BodyOf(request, body, refusal))
                return Reply(response, refusal);
            Reply(response, queue.run([&] { return work(body); }));
        };
    };
    server.Get("/api/state", onMachine([&ui] { return Ok(ui.state()); }));
    server.Post("/api/act", withBody([&ui](const Json& body) { return ui.act(body); }));
    server.Post("/api/desktop", withBody([&ui](const Json& body) { return ui.desktopAction(body); }));
    server.Post("/api/terminal", withBody([&ui](const Json& body) { return ui.terminal(body); }));
    server.Get(R"(/api/view/([a-z]+))", [&](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.matches[1];
        Reply(response, queue.run([&ui, name] { return ui.view(name); }));
    });
    server.Get(R"(/api/image/(\d{1,12}))", [&](const httplib::Request& request, httplib::Response& response) {
        const uintptr_t handle = std::stoull(request.matches[1]);
        Reply(response, queue.run([&ui, handle] { return ui.image(handle); }));
    });
    server.Get(R"(/api/bitmap/(\d{1,12}))",
               [&](const httplib::Request& request, httplib::Response& response) {
                   const uintptr_t handle = std::stoull(request.matches[1]);
                   Reply(response, queue.run([&ui, handle] { return ui.bitmap(handle); }));
               });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            Reply(response, Error(response.status, "there is no such page or request"));
    });

    const int port = options.port ? (server.bind_to_port("127.0.0.1", options.port) ? options.port : -1)
                                  : server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        log << "cvsim ui: cannot listen on 127.0.0.1:" << options.port << "\n";
        return 2;
    }
    std::thread listener([&server] { server.listen_after_bind(); });
    out << "cvsim ui: http://127.0.0.1:" << port << "/\n";
    out.flush();

    // Machine time follows the wall clock, at most 50 ms a step so that the page never waits long.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    while (!stop.load()) {
        const auto now = Clock::now();
        const uint64_t ticks = std::min<uint64_t>(
            500'000, std::chrono::duration_cast<std::chrono::microseconds>(now - last).count() * 10);
        last = now;
        {
            nt::KernelScope scope(kernel);
            if (ticks)
                machine.desktop().passTime(ticks);
            ui.serviceTerminals();
        }
        nt::KernelScope scope(kernel);
        queue.serve(std::chrono::milliseconds(5));
    }
    queue.close();
    server.stop();
    listener.join();
    out << "cvsim ui: stopped after " << double(kernel.now()) / 1e7 << " s of machine time\n";
    return 0;
}

} // namespace sim
