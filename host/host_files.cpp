// The stand-in host's file commands, as batch files use them: type writes
// text files to standard output, copy copies a file, also to a device such
// as nul; and the reading of text files that batch files share. Owns no
// state.
#include "host_engine.h"
#include <string>

namespace {

// A file handle closed however the command ends.
struct File {
    HANDLE handle;
    explicit File(HANDLE h) : handle(h) {}
    ~File() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

HANDLE OpenForReading(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int FileError(const std::wstring& what, const std::wstring& path) {
    ReportError(what + L" \"" + path + L"\": " + SystemMessage(GetLastError()));
    return 1;
}

}  // namespace

bool ReadTextFile(const std::wstring& path, std::wstring& text) {
    File file(OpenForReading(path));
    if (file.handle == INVALID_HANDLE_VALUE) return false;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file.handle, chunk, sizeof chunk, &got, nullptr)) && got) bytes.append(chunk, got);
    if (!ok) return false;

    text.clear();
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        return true;
    }
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const char* data = bytes.data() + skip;
    int size = static_cast<int>(bytes.size() - skip);
    // UTF-8 when the file is valid UTF-8, else the ANSI code page of older editors.
    UINT codePage = CP_UTF8;
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, size, nullptr, 0);
    if (chars == 0 && size > 0) {
        codePage = CP_ACP;
        chars = MultiByteToWideChar(CP_ACP, 0, data, size, nullptr, 0);
    }
    text.resize(chars);
    if (chars) MultiByteToWideChar(codePage, 0, data, size, text.data(), chars);
    return true;
}

int CmdType(std::wstring_view args) {
    const std::vector<std::wstring> names = SplitBatchArgs(args);
    if (names.empty()) {
        ReportError(L"Usage: type file...");
        return 1;
    }
    for (const std::wstring& name : names) {
        const std::wstring path = Unquoted(name);
        std::wstring text;
        if (!ReadTextFile(path, text)) return FileError(L"Cannot read", path);
        if (!WriteStdout(text)) return FileError(L"Cannot write the text of", path);
    }
    return 0;
}

int CmdCopy(std::wstring_view args) {
    args = TrimBlanks(args);
    const bool quiet = StartsWithNoCase(args, L"/q") && args.size() > 2 && IsBlank(args[2]);
    if (quiet) args = TrimBlanks(args.substr(2));
    const std::vector<std::wstring> names = SplitBatchArgs(args);
    if (names.size() != 2) {
        ReportError(L"Usage: copy [/q] from to  (one file; to a file or a device such as nul)");
        return 1;
    }
    const std::wstring from = Unquoted(names[0]), to = Unquoted(names[1]);
    File source(OpenForReading(from));
    if (source.handle == INVALID_HANDLE_VALUE) return FileError(L"Cannot read", from);
    File target(CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (target.handle == INVALID_HANDLE_VALUE) return FileError(L"Cannot write to", to);
    char chunk[65536];
    DWORD got = 0, written = 0;
    for (;;) {
        if (!ReadFile(source.handle, chunk, sizeof chunk, &got, nullptr)) return FileError(L"Cannot read", from);
        if (got == 0) break;
        if (!WriteFile(target.handle, chunk, got, &written, nullptr) || written != got)
            return FileError(L"Cannot write to", to);
    }
    if (!quiet) WriteStdout(L"     1 file copied\r\n");
    return 0;
}
