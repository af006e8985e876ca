#include "platform/win32/desktop.h"

#include "platform/win32/devmgr.h"
#include "platform/win32/window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace win32 {

namespace {

thread_local Desktop* tDesktop = nullptr;

// A private message a thread's loop dispatches: input the user side hands to the thread.
constexpr UINT kInputMessage = WM_APP + 0x3FFF;

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

thread_local Desktop::UiThread* Desktop::runningThread_ = nullptr;

Desktop::Desktop(nt::Kernel& kernel) : kernel_(kernel) {
    installModule(DeviceManagerModule());
}

Desktop::~Desktop() {
    // Threads still waiting for input unwind their stacks and end.
    closing_ = true;
    for (auto& t : threads_)
        if (t->started && !t->ended) {
            t->closing = true;
            resume(*t);
        }
    for (auto& t : threads_)
        if (t->thread)
            t->thread->join();
    // The program's process ends: the libraries it still had loaded are detached, as at process exit.
    for (const auto& [instance, name] : loaded_)
        if (auto m = modules_.find(name); m != modules_.end() && m->second.attach)
            m->second.attach(instance, false);
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
// The program's threads and the hand-over
// ---------------------------------------------------------------------------------------------

bool Desktop::start(std::string name, std::function<void()> program) {
    if (programRunning())
        return false;
    for (auto& t : threads_)
        if (t->thread)
            t->thread->join();
    threads_.clear();
    programName_ = std::move(name);
    auto main = std::make_unique<UiThread>();
    main->id = nextThreadId_++;
    main->body = std::move(program);
    threads_.push_back(std::move(main));
    budgetEnd_ = kernel_.now() + timerBudget_;
    schedule();
    return true;
}

HANDLE Desktop::startThread(std::function<void()> body) {
    if (!runningThread_ || !programRunning())
        return nullptr;
    auto t = std::make_unique<UiThread>();
    t->id = nextThreadId_++;
    t->body = std::move(body);
    threads_.push_back(std::move(t));
    return addHandle(std::make_shared<int>(threads_.back()->id), "thread");
}

size_t Desktop::threadCount() const {
    return static_cast<size_t>(
        std::count_if(threads_.begin(), threads_.end(), [](const auto& t) { return !t->ended; }));
}

Desktop::UiThread* Desktop::thread(int id) const {
    for (const auto& t : threads_)
        if (t->id == id)
            return t.get();
    return nullptr;
}

Desktop::UiThread& Desktop::currentThread(const char* call) const {
    if (!runningThread_ || tDesktop != this) {
        std::fprintf(stderr, "*** %s called outside the program's threads\n", call);
        std::abort();
    }
    return *runningThread_;
}

Desktop::UiThread* Desktop::threadOf(HWND handle) const {
    Window* w = window(handle);
    UiThread* t = w ? thread(w->thread) : nullptr;
    if (t && !t->ended)
        return t;
    if (runningThread_ && tDesktop == this)
        return runningThread_;
    return threads_.empty() ? nullptr : threads_.front().get();
}

bool Desktop::mutexFree(const Mutex& m, const UiThread& t) const {
    if (!m.owner || m.owner == &t)
        return true;
    const UiThread* owner = thread(m.owner->id);
    return !owner || owner->ended; // abandoned
}

bool Desktop::runnable(const UiThread& t) const {
    if (t.ended)
        return false;
    if (t.closing || !t.started)
        return true;
    if (t.blockedOn)
        return mutexFree(*static_cast<const Mutex*>(t.blockedOn), t);
    return !t.queue.empty() || t.quit || const_cast<Desktop*>(this)->dueTimer(t, false);
}

void Desktop::schedule() {
    while (true) {
        UiThread* next = nullptr;
        for (auto& t : threads_)
            if (runnable(*t)) {
                next = t.get();
                break;
            }
        if (!next)
            return;
        resume(*next);
        endedThreads();
    }
}

// A thread that ended takes its windows with it; when the first thread ends, the program does.
void Desktop::endedThreads() {
    for (auto& t : threads_) {
        if (!t->ended)
            continue;
        for (HWND h : std::vector<HWND>(order_))
            if (Window* w = window(h); w && w->thread == t->id)
                destroy(h);
        t->queue.clear();
    }
    if (!threads_.empty() && threads_.front()->ended)
        for (auto& t : threads_)
            if (!t->ended)
                t->closing = true;
}

void Desktop::resume(UiThread& t) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!t.thread) {
        if (t.closing) {
            t.ended = true; // never started: nothing to unwind
            return;
        }
        t.thread = std::make_unique<std::thread>([this, &t] { runThread(t); });
    }
    t.turn = true;
    turn_.notify_all();
    if (!turn_.wait_for(lock, kProgramLimit, [&t] { return !t.turn; })) {
        std::fprintf(stderr, "*** the program \"%s\" never waited for input (an endless loop?)\n",
                     programName_.c_str());
        std::abort();
    }
}

void Desktop::runThread(UiThread& t) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        turn_.wait(lock, [&t] { return t.turn; });
    }
    tDesktop = this;
    runningThread_ = &t;
    t.started = true;
    {
        nt::KernelScope scope(kernel_);
        try {
            if (!t.closing)
                t.body();
        } catch (const Closing&) {
            // its program or the desktop went away while it waited
        }
    }
    tDesktop = nullptr;
    runningThread_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    t.ended = true;
    t.turn = false;
    turn_.notify_all();
}

void Desktop::yieldToUser() {
    UiThread& t = currentThread("a wait");
    std::unique_lock<std::mutex> lock(mutex_);
    t.turn = false;
    turn_.notify_all();
    turn_.wait(lock, [&t] { return t.turn; });
    if (t.closing)
        throw Closing{};
}

bool Desktop::input(HWND target, std::function<void()> action) {
    if (!programRunning())
        return false;
    UiThread* t = target ? threadOf(target) : threads_.front().get();
    if (!t || t->ended)
        return false;
    auto* boxed = new std::function<void()>(std::move(action));
    // A private message the thread's loop dispatches: the action runs on that thread.
    t->queue.push_back(MSG{nullptr, kInputMessage, 0, reinterpret_cast<LPARAM>(boxed), 0, {}});
    budgetEnd_ = kernel_.now() + timerBudget_;
    schedule();
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
    schedule(); // the threads' loops let the time pass, firing their timers
    if (kernel_.now() < until) {
        nt::KernelScope scope(kernel_);
        kernel_.runUntil(until);
    }
}

DWORD Desktop::lastError() const {
    return runningThread_ && tDesktop == this ? runningThread_->lastError : lastError_;
}

void Desktop::setLastError(DWORD error) {
    if (runningThread_ && tDesktop == this)
        runningThread_->lastError = error;
    else
        lastError_ = error;
}

// ---------------------------------------------------------------------------------------------
// Named mutexes
// ---------------------------------------------------------------------------------------------

HANDLE Desktop::createMutex(const std::string& name, bool initialOwner) {
    std::shared_ptr<Mutex> m;
    if (!name.empty())
        m = namedMutexes_[name].lock();
    const bool existed = m != nullptr;
    if (!m) {
        m = std::make_shared<Mutex>();
        m->name = name;
        if (!name.empty())
            namedMutexes_[name] = m;
    }
    if (initialOwner && !existed && runningThread_) {
        m->owner = runningThread_;
        m->count = 1;
    }
    setLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return addHandle(m, "mutex");
}

DWORD Desktop::waitFor(HANDLE handle, DWORD milliseconds) {
    auto m = std::static_pointer_cast<Mutex>(this->handle(handle, "mutex"));
    if (!m || !runningThread_) {
        setLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    UiThread& self = *runningThread_;
    while (!mutexFree(*m, self)) {
        if (milliseconds == 0)
            return WAIT_TIMEOUT;
        self.blockedOn = m.get();
        yieldToUser();
        self.blockedOn = nullptr;
    }
    const bool abandoned = m->owner && m->owner != &self;
    if (abandoned || !m->owner)
        m->count = 0;
    m->owner = &self;
    ++m->count;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool Desktop::releaseMutex(HANDLE handle) {
    auto m = std::static_pointer_cast<Mutex>(this->handle(handle, "mutex"));
    if (!m || m->owner != runningThread_ || !runningThread_) {
        setLastError(m ? ERROR_NOT_OWNER : ERROR_INVALID_HANDLE);
        return false;
    }
    if (--m->count == 0)
        m->owner = nullptr;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Messages and timers
// ---------------------------------------------------------------------------------------------

bool Desktop::dueTimer(const UiThread& t, bool fire) {
    Timer* next = nullptr;
    for (Timer& timer : timers_) {
        Window* w = window(timer.window);
        if (w && w->thread == t.id && (!next || timer.due < next->due))
            next = &timer;
    }
    if (!next || next->due > budgetEnd_)
        return false;
    if (!fire)
        return true;
    if (kernel_.now() < next->due)
        kernel_.runUntil(next->due);
    next->due += next->period;
    const_cast<UiThread&>(t).queue.push_back(MSG{next->window, WM_TIMER, next->id, 0, 0, {}});
    return true;
}

bool Desktop::getMessage(MSG& msg) {
    UiThread& t = currentThread("GetMessage");
    while (true) {
        if (!t.queue.empty()) {
            msg = t.queue.front();
            t.queue.pop_front();
            return true;
        }
        if (t.quit) {
            msg = MSG{nullptr, WM_QUIT, 0, 0, 0, {}};
            return false;
        }
        if (dueTimer(t, true))
            continue;
        yieldToUser();
    }
}

LRESULT Desktop::dispatch(const MSG& msg) {
    if (msg.message == kInputMessage && !msg.hwnd) {
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
    currentThread("PostQuitMessage").quit = true;
}

LRESULT Desktop::send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = window(handle);
    if (!w || !w->proc) {
        setLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return w->proc(handle, message, wParam, lParam);
}

bool Desktop::post(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    if (handle && !window(handle)) {
        setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    UiThread* t = threadOf(handle);
    if (!t)
        return false;
    t->queue.push_back(MSG{handle, message, wParam, lParam, 0, {}});
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
    for (auto& t : threads_)
        t->queue.erase(std::remove_if(t->queue.begin(), t->queue.end(),
                                      [&](const MSG& m) {
                                          return m.message == WM_TIMER && m.hwnd == handle && m.wParam == id;
                                      }),
                       t->queue.end());
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
    if (Window* parent = this->window(window->parent))
        window->thread = parent->thread;
    else if (runningThread_ && tDesktop == this)
        window->thread = runningThread_->id;
    else if (!threads_.empty())
        window->thread = threads_.front()->id;
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

bool Desktop::activate(HWND handle) {
    auto it = std::find(order_.begin(), order_.end(), handle);
    if (it == order_.end())
        return false;
    order_.erase(it);
    order_.push_back(handle);
    return true;
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

namespace {

INT_PTR CALLBACK MessageBoxWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

} // namespace

// The box as a window laid out as the system lays one out: the icon at the top left, the text beside
// it, the buttons centred under both; it runs modally until one of its buttons is clicked.
int Desktop::showBoxWindow(HWND owner, const MessageBoxRecord& record, const std::vector<int>& ids) {
    constexpr int kMaxTextPixels = 420, kButtonWidth = 50, kButtonHeight = 14, kGap = 6, kMargin = 10;
    int textPixels = 0, lines = 0;
    for (size_t from = 0; from <= record.text.size();) {
        size_t end = record.text.find('\n', from);
        if (end == std::string::npos)
            end = record.text.size();
        // A margin over the dialog font's widths, for fonts a little wider than it.
        const int width = TextWidth(record.text.substr(from, end - from)) * 11 / 10;
        textPixels = std::max(textPixels, std::min(width, kMaxTextPixels));
        lines += std::max(1, (width + kMaxTextPixels - 1) / kMaxTextPixels);
        from = end + 1;
    }
    const short textX = short(record.icon.empty() ? kMargin : kMargin + 21 + kMargin);
    const short textW = short(textPixels * 4 / kBaseUnitX + 4), textH = short(lines * 8);
    const short buttonsW = short(ids.size() * kButtonWidth + (ids.size() - 1) * kGap);
    const short width = short(std::max(textX + textW + kMargin, buttonsW + 2 * kMargin));
    const short buttonsY = short(kMargin + std::max<int>(textH, record.icon.empty() ? 0 : 20) + kMargin);
    std::vector<ControlTemplate> controls;
    if (!record.icon.empty())
        controls.push_back(
            {"STATIC", record.icon.c_str(), 0, -1, SS_ICON | WS_VISIBLE, 0, kMargin, kMargin, 21, 20});
    controls.push_back(
        {"STATIC", record.text.c_str(), 0, -1, SS_LEFT | WS_VISIBLE, 0, textX, kMargin, textW, textH});
    for (size_t i = 0; i < ids.size(); ++i)
        controls.push_back({"BUTTON", record.buttons[i].c_str(), 0, ids[i],
                            uint32_t((i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_VISIBLE | WS_TABSTOP),
                            0, short((width - buttonsW) / 2 + i * (kButtonWidth + kGap)), buttonsY,
                            kButtonWidth, kButtonHeight});
    const DialogTemplate tmpl{0,
                              record.caption.c_str(),
                              DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                              0,
                              0,
                              0,
                              width,
                              short(buttonsY + kButtonHeight + 8),
                              "MS Sans Serif",
                              8,
                              controls.data(),
                              controls.size()};
    HWND box = CreateDialogFromTemplate(*this, nullptr, tmpl, owner, MessageBoxWindowProc, 0, false);
    if (Window* w = window(box)) {
        w->dialog->modal = true;
        w->visible = true;
        // The system's icons are no program's resources: the icon control names the one it shows.
        for (HWND h : w->children)
            if (Window* c = window(h); c && c->kind() == "icon")
                c->text = record.icon;
    }
    RunModalLoop(*this, box, [&] {
        Window* w = window(box);
        return !w || w->dialog->ended;
    });
    Window* w = window(box);
    const int answer = w ? int(w->dialog->result) : ids.back();
    destroy(box);
    // The close box answers as Cancel does where there is one.
    return std::find(ids.begin(), ids.end(), answer) != ids.end() ? answer : ids.back();
}

int Desktop::showMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
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
    } else if (interactiveBoxes_ && runningThread_) {
        record.answer = showBoxWindow(owner, record, ids);
        boxes_.push_back(record);
        return record.answer;
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

std::vector<std::shared_ptr<void>> Desktop::handlesOf(const std::string& kind) const {
    std::vector<std::shared_ptr<void>> out;
    for (const auto& [h, entry] : handles_)
        if (entry.first == kind)
            out.push_back(entry.second);
    return out;
}

namespace {
std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}
} // namespace

bool Desktop::markServiceForDelete(const std::string& name) {
    return markedServices_.insert(Upper(name)).second;
}

bool Desktop::serviceMarkedForDelete(const std::string& name) const {
    return markedServices_.count(Upper(name)) != 0;
}

void Desktop::forgetServiceMark(const std::string& name) {
    markedServices_.erase(Upper(name));
}

bool Desktop::commandLineRefused(const std::string& commandLine) const {
    return std::find(refusedCommandLines_.begin(), refusedCommandLines_.end(), commandLine) !=
           refusedCommandLines_.end();
}

HWND Desktop::openShellWindow(const std::string& className, const std::string& title) {
    auto w = std::make_unique<Window>();
    w->className = className;
    w->text = title;
    w->style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
    w->proc = DefWindowProcA;
    HWND handle = add(std::move(w));
    window(handle)->thread = kShellThread;
    return handle;
}

bool Desktop::closeShellWindow(const std::string& className, const std::string& title) {
    for (HWND h : std::vector<HWND>(order_))
        if (Window* w = window(h);
            w && w->thread == kShellThread && Upper(w->className) == Upper(className) && w->text == title) {
            destroy(h);
            return true;
        }
    return false;
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
