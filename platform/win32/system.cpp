// Threads, named mutexes, help and the DOS device namespace of the Win32 side: the program's further
// user-interface threads run on the desktop one at a time like its first; the DOS names are the I/O
// manager's symbolic links under \??, where a program's definition hides the name's earlier target until
// it is removed.
#include "platform/win32/desktop.h"
#include "platform/win32/text.h"

#include "platform/nt/io.h"
#include "platform/win32/window.h"

#include <cstring>

using win32::Desktop;

namespace {

using win32::Narrow;
using win32::SameText;

std::u16string Wide(const char* text) {
    std::u16string out;
    for (const char* p = text; p && *p; ++p)
        out += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return out;
}

// A DOS device name as a program gives it: no path separator, not empty, of a sane length.
bool ValidDosName(LPCSTR name) {
    if (!name || !*name)
        return false;
    const size_t length = std::strlen(name);
    return length < 256 && !std::strchr(name, '\\');
}

std::u16string DosLink(LPCSTR name) {
    return u"\\??\\" + Wide(name);
}

} // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId) {
    (void)lpThreadAttributes;
    (void)dwStackSize;
    (void)dwCreationFlags;
    Desktop& desktop = Desktop::require("CreateThread");
    if (!lpStartAddress) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE thread = desktop.startThread([lpStartAddress, lpParameter] { lpStartAddress(lpParameter); });
    if (lpThreadId)
        *lpThreadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread));
    return thread;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    (void)lpMutexAttributes;
    return Desktop::require("CreateMutex").createMutex(lpName ? lpName : "", bInitialOwner != FALSE);
}

BOOL ReleaseMutex(HANDLE hMutex) {
    return Desktop::require("ReleaseMutex").releaseMutex(hMutex) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return Desktop::require("WaitForSingleObject").waitFor(hHandle, dwMilliseconds);
}

BOOL WinHelpA(HWND hWndMain, LPCSTR lpszHelp, UINT uCommand, ULONG_PTR dwData) {
    (void)hWndMain;
    Desktop& desktop = Desktop::require("WinHelp");
    if (!lpszHelp && uCommand != HELP_QUIT) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    desktop.requestHelp({lpszHelp ? lpszHelp : "", uCommand, dwData});
    return TRUE;
}

DWORD QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    Desktop& desktop = Desktop::require("QueryDosDevice");
    nt::IoManager& io = desktop.kernel().io();
    std::vector<std::string> items;
    if (!lpDeviceName) {
        for (const std::u16string& link : io.linkNames())
            if (link.rfind(u"\\??\\", 0) == 0)
                items.push_back(Narrow(link.substr(4)));
    } else {
        if (!ValidDosName(lpDeviceName)) {
            desktop.setLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        for (const std::u16string& target : io.linkTargets(DosLink(lpDeviceName)))
            items.push_back(Narrow(target));
        if (items.empty()) {
            desktop.setLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    // Each item ends with a NUL, the list with one more.
    size_t needed = 1;
    for (const auto& item : items)
        needed += item.size() + 1;
    if (!lpTargetPath || needed > ucchMax) {
        desktop.setLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char* out = lpTargetPath;
    for (const auto& item : items) {
        std::memcpy(out, item.c_str(), item.size() + 1);
        out += item.size() + 1;
    }
    *out = '\0';
    return static_cast<DWORD>(needed);
}

BOOL DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    Desktop& desktop = Desktop::require("DefineDosDevice");
    nt::IoManager& io = desktop.kernel().io();
    const DWORD known =
        DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM;
    if ((dwFlags & ~known) || !ValidDosName(lpDeviceName) ||
        ((dwFlags & DDD_EXACT_MATCH_ON_REMOVE) && !(dwFlags & DDD_REMOVE_DEFINITION))) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!desktop.administrator()) {
        desktop.setLastError(ERROR_ACCESS_DENIED); // the global namespace is the administrators'
        return FALSE;
    }
    // Without a raw target the path is a DOS path, which names a drive or file: not modelled.
    if (!(dwFlags & DDD_RAW_TARGET_PATH) && lpTargetPath && *lpTargetPath) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NTSTATUS status;
    if (dwFlags & DDD_REMOVE_DEFINITION) {
        std::u16string target = Wide(lpTargetPath);
        const bool exact = (dwFlags & DDD_EXACT_MATCH_ON_REMOVE) && lpTargetPath;
        status = io.undefineLink(DosLink(lpDeviceName), exact ? &target : nullptr);
    } else {
        if (!lpTargetPath || !*lpTargetPath || std::strlen(lpTargetPath) >= 1024) {
            desktop.setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        status = io.defineLink(DosLink(lpDeviceName), Wide(lpTargetPath));
    }
    if (!NT_SUCCESS(status)) {
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
    Desktop& desktop = Desktop::require("FindWindow");
    for (win32::Window* w : desktop.topLevelWindows())
        if ((!lpClassName || SameText(w->className, lpClassName)) &&
            (!lpWindowName || w->text == lpWindowName))
            return w->handle;
    desktop.setLastError(ERROR_SUCCESS); // not found is no error
    return nullptr;
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    Desktop::require("GetSystemDirectory");
    const size_t length = std::strlen(nt::Kernel::kSystemDirectory);
    if (!lpBuffer || uSize <= length)
        return static_cast<UINT>(length + 1); // the room needed, with the terminator
    std::memcpy(lpBuffer, nt::Kernel::kSystemDirectory, length + 1);
    return static_cast<UINT>(length);
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    Desktop& desktop = Desktop::require("GetFileAttributes");
    if (!lpFileName || !*lpFileName || std::strlen(lpFileName) >= 260) {
        desktop.setLastError(lpFileName && *lpFileName ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!desktop.kernel().fileExists(lpFileName)) {
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return FILE_ATTRIBUTE_ARCHIVE;
}

LPSTR GetCommandLineA(void) {
    Desktop& desktop = Desktop::require("GetCommandLine");
    return const_cast<LPSTR>(desktop.commandLine().c_str());
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
    (void)lpProcessAttributes;
    (void)lpThreadAttributes;
    (void)lpEnvironment;
    (void)lpCurrentDirectory;
    Desktop& desktop = Desktop::require("CreateProcess");
    std::string commandLine = lpCommandLine ? lpCommandLine : (lpApplicationName ? lpApplicationName : "");
    if (commandLine.empty() || !lpStartupInfo || !lpProcessInformation || commandLine.size() > 32767) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A program the machine cannot start (a scenario says so): as Windows reports a missing file.
    if (desktop.commandLineRefused(commandLine)) {
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    desktop.recordProcess({commandLine, bInheritHandles != FALSE, dwCreationFlags});
    const DWORD id = static_cast<DWORD>(desktop.startedProcesses().size()) * 4 + 0x100;
    lpProcessInformation->hProcess = desktop.addHandle(std::make_shared<DWORD>(id), "process");
    lpProcessInformation->hThread = desktop.addHandle(std::make_shared<DWORD>(id), "thread");
    lpProcessInformation->dwProcessId = id;
    lpProcessInformation->dwThreadId = id + 1;
    return TRUE;
}
