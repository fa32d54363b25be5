// Variable expansion of the stand-in host: %NAME%, %_internal, %[name],
// %@option[Name], %0-%9, %*, %? and %%, and the host options. Owns the
// internal-variable overrides and the option table.
#include "host_engine.h"
#include <cwctype>
#include <utility>
#include <vector>

namespace {

using NameValue = std::pair<std::wstring, std::wstring>;
std::vector<NameValue> s_overrides;
std::vector<NameValue> s_options = {{L"UpdateTitle", L"Yes"}};

NameValue* FindEntry(std::vector<NameValue>& table, std::wstring_view name) {
    for (auto& entry : table)
        if (EqualsNoCase(entry.first, name)) return &entry;
    return nullptr;
}

bool IsNameChar(wchar_t c) { return c == L'_' || iswalnum(c); }

// A short piece of the faulty text for the error message, so a long line
// does not flood the screen.
std::wstring Excerpt(std::wstring_view text) {
    if (text.size() <= 40) return std::wstring(text);
    return std::wstring(text.substr(0, 40)) + L"...";
}

bool BuiltinVariable(std::wstring_view name, std::wstring& value) {
    if (EqualsNoCase(name, L"_4ver")) value = L"1.00";
    else if (EqualsNoCase(name, L"_batch")) value = std::to_wstring(BatchDepth());
    else if (EqualsNoCase(name, L"_batchname")) {
        if (!CurrentBatch(&value, nullptr)) value.clear();
    } else if (EqualsNoCase(name, L"_batchline")) {
        int line;
        value = CurrentBatch(nullptr, &line) ? std::to_wstring(line) : L"-1";
    } else if (EqualsNoCase(name, L"_transient") || EqualsNoCase(name, L"_pipe")) value = L"0";
    else if (EqualsNoCase(name, L"_cwd")) {
        DWORD length = GetCurrentDirectoryW(0, nullptr);
        value.assign(length, L'\0');
        value.resize(GetCurrentDirectoryW(length, value.data()));
    } else if (EqualsNoCase(name, L"_?")) value = std::to_wstring(LastExitCode());
    else return false;
    return true;
}

bool EnvironmentVariable(std::wstring_view name, std::wstring& value) {
    std::wstring key(name);
    if (key.empty() || key.find(L'=') != std::wstring::npos) return false;
    value.assign(256, L'\0');
    for (;;) {
        SetLastError(0);
        DWORD length = GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            value.clear();
            return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (length < value.size()) {
            value.resize(length);
            return true;
        }
        value.assign(length, L'\0');
    }
}

int Unterminated(std::wstring_view text, const wchar_t* missing) {
    ReportError(L"Unterminated variable \"" + Excerpt(text) + L"\": the closing " + missing +
                L" is missing");
    return 1;
}

// %@name[arguments]: the host functions. Only @option exists in the stand-in.
int ExpandFunction(std::wstring_view in, size_t& i, std::wstring& out) {
    size_t nameStart = i + 2;
    size_t j = nameStart;
    while (j < in.size() && IsNameChar(in[j])) ++j;
    std::wstring_view name = in.substr(nameStart, j - nameStart);
    if (j >= in.size() || in[j] != L'[') return Unterminated(in.substr(i), L"[...]");
    int nesting = 0;
    size_t close = j;
    for (; close < in.size(); ++close) {
        if (in[close] == L'[') ++nesting;
        else if (in[close] == L']' && --nesting == 0) break;
    }
    if (close >= in.size()) return Unterminated(in.substr(i), L"]");
    std::wstring argument;
    if (int rc = ExpandText(in.substr(j + 1, close - j - 1), argument)) return rc;
    if (!EqualsNoCase(name, L"option")) {
        ReportError(L"Unknown function \"%@" + std::wstring(name) + L"\"");
        return 1;
    }
    std::wstring value;
    if (GetOption(TrimBlanks(argument), value)) out += value;
    i = close + 1;
    return 0;
}

}  // namespace

bool LookupVariable(std::wstring_view name, std::wstring& value) {
    if (NameValue* entry = FindEntry(s_overrides, name)) {
        value = entry->second;
        return true;
    }
    if (!name.empty() && name[0] == L'_') {
        if (PluginTextFn variable = FindPluginVariable(name)) {
            // Plug-ins are promised a buffer of at least 1024 characters; the
            // larger one leaves room for a careless writer, and the text is
            // cut at the end of the buffer whatever the plug-in left there.
            std::vector<wchar_t> buffer(8192, L'\0');
            variable(buffer.data());
            buffer.back() = L'\0';
            value.assign(buffer.data());
            return true;
        }
        if (BuiltinVariable(name, value)) return true;
    }
    return EnvironmentVariable(name, value);
}

void SetInternalOverride(std::wstring_view name, const wchar_t* value) {
    for (auto it = s_overrides.begin(); it != s_overrides.end(); ++it) {
        if (EqualsNoCase(it->first, name)) {
            if (value) it->second = value;
            else s_overrides.erase(it);
            return;
        }
    }
    if (value) s_overrides.emplace_back(std::wstring(name), value);
}

bool GetOption(std::wstring_view name, std::wstring& value) {
    NameValue* entry = FindEntry(s_options, name);
    if (!entry) return false;
    value = entry->second;
    return true;
}

void SetOption(std::wstring_view name, std::wstring_view value) {
    if (NameValue* entry = FindEntry(s_options, name)) entry->second = value;
    else s_options.emplace_back(std::wstring(name), std::wstring(value));
}

void ListOptions() {
    for (auto& entry : s_options) WriteStdout(entry.first + L"=" + entry.second + L"\r\n");
}

namespace {

// One %-variable at in[i] (a percent sign there), appended to out; i moves past it.
int ExpandPercent(std::wstring_view in, size_t& i, std::wstring& out) {
    std::wstring value;
    wchar_t d = i + 1 < in.size() ? in[i + 1] : L'\0';
    if (d == L'%') {
        out += L'%';
        i += 2;
    } else if ((d >= L'0' && d <= L'9') || d == L'*') {
        if (BatchArgument(d == L'*' ? -1 : d - L'0', value)) out += value;
        i += 2;
    } else if (d == L'?') {
        out += std::to_wstring(LastExitCode());
        i += 2;
    } else if (d == L'[') {
        size_t close = in.find(L']', i + 2);
        if (close == std::wstring_view::npos) return Unterminated(in.substr(i), L"]");
        if (LookupVariable(in.substr(i + 2, close - i - 2), value)) out += value;
        i = close + 1;
    } else if (d == L'@') {
        return ExpandFunction(in, i, out);
    } else if (d == L'_') {
        // Internal variables end at the first character that cannot be part
        // of a name; a closing % right after is allowed and dropped.
        size_t end = i + 2;
        while (end < in.size() && IsNameChar(in[end])) ++end;
        if (end == i + 2 && end < in.size() && in[end] == L'?') ++end;
        if (LookupVariable(in.substr(i + 1, end - i - 1), value)) out += value;
        if (end < in.size() && in[end] == L'%') ++end;
        i = end;
    } else if (d != L'\0' && iswalpha(d)) {
        size_t close = in.find(L'%', i + 1);
        if (close == std::wstring_view::npos) return Unterminated(in.substr(i), L"%");
        // An undefined %NAME% stays as typed, as at the Windows prompt, so
        // a file name such as "50%d%s.btm" survives; %[name] gives empty text.
        if (LookupVariable(in.substr(i + 1, close - i - 1), value)) out += value;
        else out.append(in.substr(i, close + 1 - i));
        i = close + 1;
    } else {
        out += L'%';  // a percent sign that starts no variable is text ("100% done")
        ++i;
    }
    return 0;
}

}  // namespace

int ExpandText(std::wstring_view in, std::wstring& out) {
    out.clear();
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] == L'`') {
            // Strong quotes: the text inside is kept as it is, backquotes included.
            size_t close = in.find(L'`', i + 1);
            size_t end = close == std::wstring_view::npos ? in.size() : close + 1;
            out.append(in.substr(i, end - i));
            i = end;
        } else if (in[i] != L'%') {
            size_t next = i;
            while (next < in.size() && in[next] != L'%' && in[next] != L'`') ++next;
            out.append(in.substr(i, next - i));
            i = next;
        } else if (int rc = ExpandPercent(in, i, out)) {
            return rc;
        }
    }
    return 0;
}
