// The user-mode side of a machine: one interactive desktop with its windows and the programs that run
// on it. A program (a tool) runs on a user-interface thread of its own; it runs until it waits for
// input in a message loop, and then the machine's user (a test, a scenario, a web page) acts on its
// windows as a person would: each action is delivered on the program's thread, which runs again until
// it waits. Only one of the two runs at a time, so everything stays deterministic.
#pragma once

#include "platform/nt/kernel.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/resources.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace win32 {

struct Window;
struct ImageList;

// A message box as it was shown, and the answer it got.
struct MessageBoxRecord {
    std::string caption, text;
    std::string icon;                 // "stop", "question", "exclamation", "information" or ""
    std::vector<std::string> buttons; // "OK", "Cancel", "Yes", ...
    int answer = 0;                   // IDOK, IDCANCEL, ...
    bool expected = true;             // a responder's answer was waiting for it
};

// A loaded program module (an applet library, a tool's executable) with its resources and exports.
struct Module {
    std::string name;
    const ModuleResources* resources = nullptr;
    std::map<std::string, void (*)()> exports;
    // Called with the module's instance when it is loaded and before it is freed (DllMain).
    void (*attach)(HINSTANCE instance, bool load) = nullptr;
};

class Desktop {
public:
    explicit Desktop(nt::Kernel& kernel);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // The desktop of the program running on this thread (the calls of the Win32 layer need one).
    static Desktop* current();
    static Desktop& require(const char* call);
    nt::Kernel& kernel() { return kernel_; }

    // The interactive user: a member of the Administrators group or not.
    void setAdministrator(bool administrator) { administrator_ = administrator; }
    bool administrator() const { return administrator_; }

    // Modules the machine has on disk: LoadLibrary finds them by file name.
    void installModule(Module module);
    Module* moduleOf(HINSTANCE instance);
    HINSTANCE loadModule(const std::string& name);
    void freeModule(HINSTANCE instance);

    // Runs a program on a new user-interface thread until it waits for input or ends. One program runs
    // at a time; a second start while one runs is refused (false).
    bool start(std::string name, std::function<void()> program);
    // The program runs while its first thread does; its other threads end with it.
    bool programRunning() const { return !threads_.empty() && !threads_.front()->ended; }
    const std::string& programName() const { return programName_; }
    // A further user-interface thread of the running program (CreateThread), called on one of its
    // threads: it starts when the thread that made it waits. Its handle, or null.
    HANDLE startThread(std::function<void()> body);
    // The program's threads that have not ended.
    size_t threadCount() const;
    // Delivers `action` on the program's first thread (or on the thread that owns `target`), as input
    // reaches it, then lets the program run until every thread waits again. False when no program runs.
    bool input(std::function<void()> action) { return input(nullptr, std::move(action)); }
    bool input(HWND target, std::function<void()> action);
    // Lets machine time pass while the program waits; its timers fire.
    void passTime(uint64_t ticks);
    // How much machine time a program may let pass on its own (its timers) before it counts as waiting.
    void setTimerBudget(uint64_t ticks) { timerBudget_ = ticks; }

    // Named mutexes (CreateMutex, WaitForSingleObject, ReleaseMutex). A thread that waits for a mutex
    // another thread holds lets the others run until it is released.
    HANDLE createMutex(const std::string& name, bool initialOwner);
    DWORD waitFor(HANDLE handle, DWORD milliseconds);
    bool releaseMutex(HANDLE handle);

    // Help a program asked for (WinHelp): the file, the command and its data, in order.
    struct HelpRequest {
        std::string file;
        UINT command = 0;
        ULONG_PTR data = 0;
    };
    void requestHelp(HelpRequest request) { help_.push_back(std::move(request)); }
    const std::vector<HelpRequest>& helpRequests() const { return help_; }

    // Message boxes: the answers for the next boxes, in order; every box shown; the boxes nobody expected.
    // `meanwhile` is what the person does while the box is up, before answering (closes another
    // program's port before Retry, say).
    void answerNextBox(int answer, std::function<void()> meanwhile = {}) {
        answers_.push_back({answer, std::move(meanwhile)});
    }
    size_t pendingAnswers() const { return answers_.size(); }
    // With a person at the desktop (the web page), a box no answer waits for is shown as a window and
    // waits until the person clicks one of its buttons; otherwise it takes the way out that changes
    // nothing.
    void setInteractiveBoxes(bool interactive) { interactiveBoxes_ = interactive; }
    const std::vector<MessageBoxRecord>& boxes() const { return boxes_; }
    std::vector<std::string> unexpectedBoxes() const;
    int showMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type);

    // The cursor the program shows ("arrow" or "wait").
    const std::string& cursor() const { return cursor_; }
    void setCursor(std::string cursor) { cursor_ = std::move(cursor); }

    // Windows.
    Window* window(HWND handle) const;
    HWND add(std::unique_ptr<Window> window);
    void destroy(HWND handle);
    // Top-level windows, oldest first; the active one is the newest visible and enabled.
    std::vector<Window*> topLevelWindows() const;
    Window* activeWindow() const;
    // Brings a top-level window to the front, as a click on it does.
    bool activate(HWND handle);

    // Messages: delivered at once (send), or queued for the program's loop (post).
    LRESULT send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam);
    bool post(HWND handle, UINT message, WPARAM wParam, LPARAM lParam);
    // The program's message loop: the next message, waiting (and letting timers fire) while there is
    // none. False for WM_QUIT.
    bool getMessage(MSG& msg);
    LRESULT dispatch(const MSG& msg);
    void postQuit(int code);

    // Timers in machine time.
    UINT_PTR setTimer(HWND window, UINT_PTR id, UINT milliseconds);
    bool killTimer(HWND window, UINT_PTR id);

    // Image lists and icons.
    HIMAGELIST createImageList(int cx, int cy);
    ImageList* imageList(HIMAGELIST list) const;
    void destroyImageList(HIMAGELIST list);

    // Per-thread last error of the program.
    DWORD lastError() const;
    void setLastError(DWORD error);

    // The Win32 handles of kernel objects the program opened (files, tokens, services...).
    HANDLE addHandle(std::shared_ptr<void> object, std::string kind);
    std::vector<std::shared_ptr<void>> handlesOf(const std::string& kind) const;

    // Services marked for deletion (DeleteService); false when it was marked already.
    bool markServiceForDelete(const std::string& name);
    bool serviceMarkedForDelete(const std::string& name) const;
    void forgetServiceMark(const std::string& name);

    // Controls a person keeps an eye on, by id: each change of their text or position is noted, in
    // order ("1002 \"Checking...\"", "1000 position 1"), until taken.
    void watch(int controlId) { watched_.insert(controlId); }
    void noteChange(int controlId, std::string change) {
        if (watched_.count(controlId))
            changes_.push_back(std::to_string(controlId) + " " + std::move(change));
    }
    std::vector<std::string> takeChanges() { return std::exchange(changes_, {}); }

    // The shell's windows (the Control Panel's folder window, say): windows of no program, which a
    // person opens and closes.
    HWND openShellWindow(const std::string& className, const std::string& title);
    bool closeShellWindow(const std::string& className, const std::string& title);

    // Programs started with CreateProcess, and command lines that fail to start.
    struct StartedProcess {
        std::string commandLine;
        bool inheritHandles = false;
        DWORD creationFlags = 0;
    };
    const std::vector<StartedProcess>& startedProcesses() const { return processes_; }
    void recordProcess(StartedProcess process) { processes_.push_back(std::move(process)); }
    void refuseCommandLine(std::string commandLine) {
        refusedCommandLines_.push_back(std::move(commandLine));
    }
    bool commandLineRefused(const std::string& commandLine) const;
    // The running program's command line (GetCommandLine).
    const std::string& commandLine() const { return commandLine_; }
    void setCommandLine(std::string commandLine) { commandLine_ = std::move(commandLine); }
    std::shared_ptr<void> handle(HANDLE h, const std::string& kind) const;
    bool closeHandle(HANDLE h);
    size_t openHandles() const { return handles_.size(); }

private:
    struct Timer {
        HWND window;
        UINT_PTR id;
        uint64_t period;
        uint64_t due;
    };
    struct Closing {}; // thrown through a program's stack when its program or the desktop goes away
    // One user-interface thread of the program: its message queue, and whose turn it is.
    struct UiThread {
        int id = 0;
        std::function<void()> body;
        std::unique_ptr<std::thread> thread;
        std::deque<MSG> queue;
        bool quit = false;
        bool started = false, ended = false;
        bool turn = false;               // it runs (the user side waits)
        bool closing = false;            // it unwinds at its next wait
        const void* blockedOn = nullptr; // the mutex it waits for
        DWORD lastError = 0;
    };
    struct Mutex {
        std::string name;
        const UiThread* owner = nullptr;
        int count = 0;
    };

    static constexpr int kShellThread = -1;       // the thread of the shell's windows, which runs no program
    static thread_local UiThread* runningThread_; // the program thread this is, if it is one

    UiThread* thread(int id) const;
    UiThread& currentThread(const char* call) const;
    // The thread a window's messages go to.
    UiThread* threadOf(HWND handle) const;
    bool runnable(const UiThread& t) const;
    bool mutexFree(const Mutex& m, const UiThread& t) const;
    // Runs the program's threads, one at a time and oldest first, until each waits or has ended.
    void schedule();
    void resume(UiThread& t);
    void runThread(UiThread& t);
    void endedThreads();
    void yieldToUser();
    bool dueTimer(const UiThread& t, bool fire);

    nt::Kernel& kernel_;
    bool administrator_ = true;
    std::map<std::string, Module> modules_;
    std::map<HINSTANCE, std::string> loaded_;
    std::map<std::string, int> loadCounts_;
    uintptr_t nextInstance_ = 0x10000000;

    std::map<HWND, std::unique_ptr<Window>> windows_;
    std::vector<HWND> order_; // top-level windows, the front one last
    uintptr_t nextWindow_ = 0x10010;

    std::map<HIMAGELIST, std::unique_ptr<ImageList>> imageLists_;
    uintptr_t nextImageList_ = 0x20000000;

    std::map<HANDLE, std::pair<std::string, std::shared_ptr<void>>> handles_;
    uintptr_t nextHandle_ = 0x100;
    std::map<std::string, std::weak_ptr<Mutex>> namedMutexes_;
    std::set<std::string> markedServices_; // upper case
    std::set<int> watched_;
    std::vector<std::string> changes_;
    std::vector<StartedProcess> processes_;
    std::vector<std::string> refusedCommandLines_;
    std::string commandLine_;

    std::vector<Timer> timers_;
    uint64_t timerBudget_ = 2 * 10'000'000; // 2 s of machine time
    uint64_t budgetEnd_ = 0;

    std::deque<std::pair<int, std::function<void()>>> answers_;
    bool interactiveBoxes_ = false;
    int showBoxWindow(HWND owner, const MessageBoxRecord& record, const std::vector<int>& ids);
    std::vector<MessageBoxRecord> boxes_;
    std::vector<HelpRequest> help_;
    std::string cursor_ = "arrow";
    DWORD lastError_ = 0; // calls made from the user side

    // The program's threads (the first is its main thread) and the hand-over between them and the user.
    std::vector<std::unique_ptr<UiThread>> threads_;
    int nextThreadId_ = 1;
    std::string programName_;
    std::mutex mutex_;
    std::condition_variable turn_;
    bool closing_ = false;
};

// The Control Panel: loads an applet library and drives it through its CPlApplet as Windows does. Runs
// on the desktop's program thread (start it with Desktop::start).
struct ControlPanelResult {
    std::vector<std::string> names, infos; // what CPL_NEWINQUIRE told of each applet
    bool opened = false;
};
ControlPanelResult RunControlPanel(const std::string& library, int applet);

// Runs a program of the machine by its command line, as Explorer or an installer starts it: the module
// the first word names, entered at its "WinMain" export with the command line set. Runs on the desktop's
// program thread; the program's exit code, or -1 when there is no such program.
using ProgramEntry = int (*)(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);
int RunProgram(const std::string& commandLine);

} // namespace win32
