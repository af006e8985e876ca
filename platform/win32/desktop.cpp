#include "platform/win32/desktop.h"

#include "platform/win32/window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace win32 {

namespace {

thread_local Desktop* tDesktop = nullptr;

// How long the user side waits for a program that never waits for input: a program in an endless loop
// is a fault of its own, reported instead of hanging the machine.
constexpr auto kProgramLimit = std::chrono::seconds(120);

const char* ButtonsOf(UINT type, std::vector<std::string>& names, std::vector<int>& ids) {
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        names = {"OK", "Cancel"};
        ids = {IDOK, IDCANCEL};
        break;
    case MB_ABORTRETRYIGNORE:
        names = {"Abort", "Retry", "Ignore"};
        ids = {IDABORT, IDRETRY, IDIGNORE};
        break;
    case MB_YESNOCANCEL:
        names = {"Yes", "No", "Cancel"};
        ids = {IDYES, IDNO, IDCANCEL};
        break;
    case MB_YESNO:
        names = {"Yes", "No"};
        ids = {IDYES, IDNO};
        break;
    case MB_RETRYCANCEL:
        names = {"Retry", "Cancel"};
        ids = {IDRETRY, IDCANCEL};
        break;
    default:
        names = {"OK"};
        ids = {IDOK};
        break;
    }
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
        return "stop";
    case MB_ICONQUESTION:
        return "question";
    case MB_ICONEXCLAMATION:
        return "exclamation";
    case MB_ICONASTERISK:
        return "information";
    default:
        return "";
    }
}

} // namespace

Desktop::Desktop(nt::Kernel& kernel) : kernel_(kernel) {}

Desktop::~Desktop() {
    if (thread_) {
        // A program still waiting for input unwinds its stack and ends.
        if (!programEnded_) {
            closing_ = true;
            resumeProgram();
        }
        thread_->join();
    }
}

Desktop* Desktop::current() {
    return tDesktop;
}

Desktop& Desktop::require(const char* call) {
    if (!tDesktop) {
        std::fprintf(stderr, "*** %s called with no desktop on this thread (not from a program)\n", call);
        std::abort();
    }
    return *tDesktop;
}

// ---------------------------------------------------------------------------------------------
// The program's thread and the hand-over
// ---------------------------------------------------------------------------------------------

bool Desktop::start(std::string name, std::function<void()> program) {
    if (programRunning())
        return false;
    if (thread_) {
        thread_->join();
        thread_.reset();
    }
    programName_ = std::move(name);
    program_ = std::move(program);
    programEnded_ = false;
    quit_ = false;
    queue_.clear();
    budgetEnd_ = kernel_.now() + timerBudget_;
    thread_ = std::make_unique<std::thread>([this] { runProgram(); });
    resumeProgram();
    return true;
}

void Desktop::runProgram() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        turn_.wait(lock, [this] { return programTurn_; });
    }
    tDesktop = this;
    {
        nt::KernelScope scope(kernel_);
        try {
            if (!closing_)
                program_();
        } catch (const Closing&) {
            // the desktop went away while the program waited
        }
    }
    tDesktop = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    programEnded_ = true;
    programTurn_ = false;
    turn_.notify_all();
}

void Desktop::resumeProgram() {
    std::unique_lock<std::mutex> lock(mutex_);
    programTurn_ = true;
    turn_.notify_all();
    if (!turn_.wait_for(lock, kProgramLimit, [this] { return !programTurn_; })) {
        std::fprintf(stderr, "*** the program \"%s\" never waited for input (an endless loop?)\n",
                     programName_.c_str());
        std::abort();
    }
}

void Desktop::yieldToUser() {
    std::unique_lock<std::mutex> lock(mutex_);
    programTurn_ = false;
    turn_.notify_all();
    turn_.wait(lock, [this] { return programTurn_; });
    if (closing_)
        throw Closing{};
}

bool Desktop::input(std::function<void()> action) {
    if (!programRunning())
        return false;
    auto* boxed = new std::function<void()>(std::move(action));
    // A private message the program's loop dispatches: the action runs on the program's thread.
    queue_.push_back(MSG{nullptr, WM_APP + 0x3FFF, 0, reinterpret_cast<LPARAM>(boxed), 0, {}});
    budgetEnd_ = kernel_.now() + timerBudget_;
    resumeProgram();
    return true;
}

void Desktop::passTime(uint64_t ticks) {
    const uint64_t until = kernel_.now() + ticks;
    if (!programRunning() || timers_.empty()) {
        nt::KernelScope scope(kernel_);
        kernel_.runUntil(until);
        return;
    }
    budgetEnd_ = until;
    resumeProgram(); // the program's loop lets the time pass, firing its timers
    if (kernel_.now() < until) {
        nt::KernelScope scope(kernel_);
        kernel_.runUntil(until);
    }
}

// ---------------------------------------------------------------------------------------------
// Messages and timers
// ---------------------------------------------------------------------------------------------

bool Desktop::fireDueTimer() {
    if (timers_.empty())
        return false;
    auto next = std::min_element(timers_.begin(), timers_.end(),
                                 [](const Timer& a, const Timer& b) { return a.due < b.due; });
    if (next->due > budgetEnd_)
        return false;
    if (kernel_.now() < next->due)
        kernel_.runUntil(next->due);
    next->due += next->period;
    queue_.push_back(MSG{next->window, WM_TIMER, next->id, 0, 0, {}});
    return true;
}

bool Desktop::getMessage(MSG& msg) {
    while (true) {
        if (!queue_.empty()) {
            msg = queue_.front();
            queue_.pop_front();
            return true;
        }
        if (quit_) {
            msg = MSG{nullptr, WM_QUIT, 0, 0, 0, {}};
            return false;
        }
        if (fireDueTimer())
            continue;
        yieldToUser();
    }
}

LRESULT Desktop::dispatch(const MSG& msg) {
    if (msg.message == WM_APP + 0x3FFF && !msg.hwnd) {
        std::unique_ptr<std::function<void()>> action(reinterpret_cast<std::function<void()>*>(msg.lParam));
        (*action)();
        return 0;
    }
    if (msg.message == WM_TIMER && !window(msg.hwnd))
        return 0; // the window went away with its timer message still queued
    return send(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void Desktop::postQuit(int code) {
    (void)code;
    quit_ = true;
}

LRESULT Desktop::send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = window(handle);
    if (!w || !w->proc) {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    return w->proc(handle, message, wParam, lParam);
}

bool Desktop::post(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    if (handle && !window(handle)) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    queue_.push_back(MSG{handle, message, wParam, lParam, 0, {}});
    return true;
}

UINT_PTR Desktop::setTimer(HWND handle, UINT_PTR id, UINT milliseconds) {
    const uint64_t period = std::max<uint64_t>(1, milliseconds) * 10'000;
    for (Timer& t : timers_)
        if (t.window == handle && t.id == id) {
            t.period = period;
            t.due = kernel_.now() + period;
            return id;
        }
    timers_.push_back(Timer{handle, id, period, kernel_.now() + period});
    return id;
}

bool Desktop::killTimer(HWND handle, UINT_PTR id) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.window == handle && t.id == id; });
    if (it == timers_.end())
        return false;
    timers_.erase(it);
    // A tick already queued for it is dropped, as KillTimer removes pending WM_TIMER messages.
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const MSG& m) {
                                    return m.message == WM_TIMER && m.hwnd == handle && m.wParam == id;
                                }),
                 queue_.end());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Windows
// ---------------------------------------------------------------------------------------------

Window* Desktop::window(HWND handle) const {
    auto it = windows_.find(handle);
    return it == windows_.end() ? nullptr : it->second.get();
}

HWND Desktop::add(std::unique_ptr<Window> window) {
    HWND handle = reinterpret_cast<HWND>(nextWindow_);
    nextWindow_ += 4;
    window->handle = handle;
    if (window->parent) {
        if (Window* parent = this->window(window->parent))
            parent->children.push_back(handle);
    } else {
        order_.push_back(handle);
    }
    windows_[handle] = std::move(window);
    return handle;
}

void Desktop::destroy(HWND handle) {
    Window* w = window(handle);
    if (!w)
        return;
    for (HWND child : std::vector<HWND>(w->children))
        destroy(child);
    if (w->proc)
        w->proc(handle, WM_DESTROY, 0, 0);
    timers_.erase(
        std::remove_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.window == handle; }),
        timers_.end());
    if (Window* parent = window(w->parent)) {
        auto& c = parent->children;
        c.erase(std::remove(c.begin(), c.end(), handle), c.end());
    }
    order_.erase(std::remove(order_.begin(), order_.end(), handle), order_.end());
    windows_.erase(handle);
}

std::vector<Window*> Desktop::topLevelWindows() const {
    std::vector<Window*> out;
    for (HWND h : order_)
        if (Window* w = window(h))
            out.push_back(w);
    return out;
}

Window* Desktop::activeWindow() const {
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
        Window* w = window(*it);
        if (w && w->visible && w->enabled)
            return w;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------------------------

int Desktop::showMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    (void)owner;
    MessageBoxRecord record;
    record.caption = caption;
    record.text = text;
    std::vector<int> ids;
    record.icon = ButtonsOf(type, record.buttons, ids);
    if (!answers_.empty()) {
        auto [answer, meanwhile] = std::move(answers_.front());
        answers_.pop_front();
        if (meanwhile)
            meanwhile();
        record.answer = answer;
        if (std::find(ids.begin(), ids.end(), record.answer) == ids.end()) {
            // An answer the box does not offer: the box is not the one it was meant for.
            record.expected = false;
        }
    } else {
        record.expected = false;
    }
    if (!record.expected) {
        // Nobody answers for it: the way out that changes nothing (Cancel, else No, else the only button),
        // so that a box nobody expected can never start a loop of retries.
        record.answer = ids.front();
        for (int out : {IDNO, IDCANCEL})
            if (std::find(ids.begin(), ids.end(), out) != ids.end())
                record.answer = out;
    }
    boxes_.push_back(record);
    return record.answer;
}

std::vector<std::string> Desktop::unexpectedBoxes() const {
    std::vector<std::string> out;
    for (const auto& b : boxes_)
        if (!b.expected)
            out.push_back(b.caption + ": " + b.text);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Modules, image lists, handles
// ---------------------------------------------------------------------------------------------

void Desktop::installModule(Module module) {
    std::string key = module.name;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    modules_[key] = std::move(module);
}

Module* Desktop::moduleOf(HINSTANCE instance) {
    auto it = loaded_.find(instance);
    if (it == loaded_.end())
        return nullptr;
    auto m = modules_.find(it->second);
    return m == modules_.end() ? nullptr : &m->second;
}

HINSTANCE Desktop::loadModule(const std::string& name) {
    std::string key = name;
    size_t slash = key.find_last_of("\\/");
    if (slash != std::string::npos)
        key = key.substr(slash + 1);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    auto it = modules_.find(key);
    if (it == modules_.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    for (const auto& [instance, loadedName] : loaded_)
        if (loadedName == key) {
            ++loadCounts_[key];
            return instance;
        }
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(nextInstance_);
    nextInstance_ += 0x10000;
    loaded_[instance] = key;
    loadCounts_[key] = 1;
    if (it->second.attach)
        it->second.attach(instance, true);
    return instance;
}

void Desktop::freeModule(HINSTANCE instance) {
    auto it = loaded_.find(instance);
    if (it == loaded_.end())
        return;
    if (--loadCounts_[it->second] > 0)
        return;
    Module& module = modules_[it->second];
    if (module.attach)
        module.attach(instance, false);
    loaded_.erase(it);
}

HIMAGELIST Desktop::createImageList(int cx, int cy) {
    HIMAGELIST handle = reinterpret_cast<HIMAGELIST>(nextImageList_);
    nextImageList_ += 4;
    auto list = std::make_unique<ImageList>();
    list->cx = cx;
    list->cy = cy;
    imageLists_[handle] = std::move(list);
    return handle;
}

ImageList* Desktop::imageList(HIMAGELIST list) const {
    auto it = imageLists_.find(list);
    return it == imageLists_.end() ? nullptr : it->second.get();
}

void Desktop::destroyImageList(HIMAGELIST list) {
    imageLists_.erase(list);
}

HANDLE Desktop::addHandle(std::shared_ptr<void> object, std::string kind) {
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    handles_[h] = {std::move(kind), std::move(object)};
    return h;
}

std::shared_ptr<void> Desktop::handle(HANDLE h, const std::string& kind) const {
    auto it = handles_.find(h);
    return it == handles_.end() || it->second.first != kind ? nullptr : it->second.second;
}

bool Desktop::closeHandle(HANDLE h) {
    return handles_.erase(h) != 0;
}

} // namespace win32

using win32::Desktop;

DWORD GetLastError(void) {
    return Desktop::require("GetLastError").lastError();
}

void SetLastError(DWORD dwErrCode) {
    Desktop::require("SetLastError").setLastError(dwErrCode);
}
