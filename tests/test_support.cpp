// Shared test helpers; see test_support.h.
#include "test_support.h"
#include <vector>
#include "host_control.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"

std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring MakeTempDir() {
    static unsigned counter = 0;
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (;;) {
        std::wstring dir = std::wstring(base) + L"kvtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(++counter);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
}

void RemoveTree(const std::wstring& dir) {
    if (dir.empty()) return;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

void WriteTextFile(const std::wstring& path, const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring ReadUtf8File(const std::wstring& path) {
    // Shared for writing too: the file may still be open as a standard handle.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::wstring();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    int chars = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), chars);
    return text;
}

size_t CountOccurrences(const std::wstring& text, const std::wstring& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

static HANDLE CreateCaptureFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0,
                       nullptr);
}

CapturedOutput::CapturedOutput()
    : dir_(MakeTempDir()),
      savedOut_(GetStdHandle(STD_OUTPUT_HANDLE)),
      savedErr_(GetStdHandle(STD_ERROR_HANDLE)),
      out_(CreateCaptureFile(dir_ + L"\\out.txt")),
      err_(CreateCaptureFile(dir_ + L"\\err.txt")) {
    SetStdHandle(STD_OUTPUT_HANDLE, out_);
    SetStdHandle(STD_ERROR_HANDLE, err_);
}

CapturedOutput::~CapturedOutput() {
    SetStdHandle(STD_OUTPUT_HANDLE, savedOut_);
    SetStdHandle(STD_ERROR_HANDLE, savedErr_);
    CloseHandle(out_);
    CloseHandle(err_);
    RemoveTree(dir_);
}

std::wstring CapturedOutput::Out() const { return ReadUtf8File(dir_ + L"\\out.txt"); }
std::wstring CapturedOutput::Err() const { return ReadUtf8File(dir_ + L"\\err.txt"); }

ConsoleStdout::ConsoleStdout()
    : saved_(GetStdHandle(STD_OUTPUT_HANDLE)),
      console_(CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr)) {
    if (console_ != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, console_);
}

ConsoleStdout::~ConsoleStdout() {
    if (console_ == INVALID_HANDLE_VALUE) return;
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
    CloseHandle(console_);
}

HostCallTrace::HostCallTrace() { HostTrace(1); }
HostCallTrace::~HostCallTrace() { HostTrace(0); }

std::wstring HostCallTrace::Text() const {
    int length = HostTraceText(nullptr, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    HostTraceText(buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data());
}

void AttachSelfToHost() {
    // Asked every time: a test that unloads the host's plug-ins takes this
    // program off the list too, and attaching twice is harmless.
    HostAttachPlugin(GetModuleHandleW(nullptr), 0);
}

HostRun RunKvHost(const std::wstring& arguments, const std::wstring& input, bool detached) {
    return RunKvHostIn(ExeDir(), arguments, input, detached);
}

namespace {

// The child's output holds the marker, or 30 s went by.
void WaitForOutput(const std::wstring& path, const std::wstring& marker) {
    for (int waited = 0; waited < 30000 && ReadUtf8File(path).find(marker) == std::wstring::npos; waited += 20)
        Sleep(20);
}

HostRun RunKvHostWith(const std::wstring& folder, const std::wstring& arguments, const std::wstring& input,
                      DWORD flags, const wchar_t* breakAfter) {
    HostRun result{~0u, L"", L""};
    std::wstring dir = MakeTempDir();
    WriteTextFile(dir + L"\\in.txt", input);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in = CreateFileW((dir + L"\\in.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                            nullptr);
    HANDLE out = CreateCaptureFile(dir + L"\\out.txt");
    HANDLE err = CreateCaptureFile(dir + L"\\err.txt");

    std::wstring exe = folder + L"\\kvhost.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, folder.c_str(),
                       &startup, &process)) {
        if (breakAfter) {
            WaitForOutput(dir + L"\\out.txt", breakAfter);
            // Sent again while the child runs on: Wine now and then drops one.
            for (int sent = 0; sent < 5; ++sent) {
                GenerateConsoleCtrlEvent(CTRL_C_EVENT, process.dwProcessId);
                if (WaitForSingleObject(process.hProcess, 2000) == WAIT_OBJECT_0) break;
            }
        }
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    result.out = ReadUtf8File(dir + L"\\out.txt");
    result.err = ReadUtf8File(dir + L"\\err.txt");
    RemoveTree(dir);
    return result;
}

}  // namespace

HostRun RunKvHostIn(const std::wstring& folder, const std::wstring& arguments, const std::wstring& input,
                    bool detached) {
    return RunKvHostWith(folder, arguments, input, detached ? DETACHED_PROCESS : 0, nullptr);
}

HostRun RunKvHostAndBreakIt(const std::wstring& arguments, const wchar_t* breakAfter, DWORD* elapsedMs) {
    const DWORD start = GetTickCount();
    HostRun run = RunKvHostWith(ExeDir(), arguments, L"", CREATE_NEW_PROCESS_GROUP, breakAfter);
    *elapsedMs = GetTickCount() - start;
    return run;
}

void AttachFreshPluginToHost() {
    AttachSelfToHost();
    ResetPluginStateForTest();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_state.perfFrequency = static_cast<uint64_t>(frequency.QuadPart);
    g_state.inService = true;
    g_state.takeCommandIpc = LookUpTakeCommandIPC(GetModuleHandleW(L"TakeCmd.dll"));
}
