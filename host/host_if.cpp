// The stand-in host's IF: "if [not] a==b command", texts equal without
// regard to case, and "if [not] a OP b command" with OP one of EQ NE GT GE
// LT LE in any case, as batch files test the figures a plug-in leaves in its
// variables. Owns no state.
#include "host_engine.h"
#include "frame/ascii_fold.h"

namespace {

struct Comparison {
    const wchar_t* name;
    bool (*holds)(int order);  // order: below, at or above 0 as a is below, equal to or above b
};

const Comparison kComparisons[] = {
    {L"eq", [](int order) { return order == 0; }}, {L"ne", [](int order) { return order != 0; }},
    {L"gt", [](int order) { return order > 0; }},  {L"ge", [](int order) { return order >= 0; }},
    {L"lt", [](int order) { return order < 0; }},  {L"le", [](int order) { return order <= 0; }},
};

// The word at the start of text, which is left after the blanks behind it.
std::wstring_view TakeWord(std::wstring_view& text) {
    size_t end = 0;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    const std::wstring_view word = text.substr(0, end);
    text = TrimBlanks(text.substr(end));
    return word;
}

bool IsInteger(std::wstring_view text) {
    if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) text.remove_prefix(1);
    if (text.empty()) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

// Integers of any length, so that no figure is too large to compare: by
// sign, then by the count of significant digits, then digit by digit.
int CompareIntegers(std::wstring_view a, std::wstring_view b) {
    auto split = [](std::wstring_view& digits) {
        const bool negative = digits[0] == L'-';
        if (digits[0] == L'-' || digits[0] == L'+') digits.remove_prefix(1);
        while (!digits.empty() && digits[0] == L'0') digits.remove_prefix(1);
        return negative && !digits.empty();  // -0 is 0
    };
    const bool aNegative = split(a), bNegative = split(b);
    if (aNegative != bNegative) return aNegative ? -1 : 1;
    int order = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1) : a.compare(b);
    return aNegative ? -order : order;
}

int CompareTexts(std::wstring_view a, std::wstring_view b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return FoldAscii(a[i]) < FoldAscii(b[i]) ? -1 : 1;
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

const wchar_t kUsage[] = L"Usage: if [not] text1==text2 command, or if [not] a op b command (op: eq ne gt ge lt le)";

}  // namespace

int CmdIf(std::wstring_view args) {
    args = TrimBlanks(args);
    bool negate = StartsWithNoCase(args, L"not") && args.size() > 3 && IsBlank(args[3]);
    if (negate) args = TrimBlanks(args.substr(3));
    std::wstring_view command = args;
    const std::wstring_view left = TakeWord(command), op = TakeWord(command), right = TakeWord(command);
    for (const Comparison& comparison : kComparisons) {
        if (!EqualsNoCase(op, comparison.name)) continue;
        if (right.empty() || command.empty()) {
            ReportError(kUsage);
            return 1;
        }
        // Numbers as numbers, so that 10 is above 9; anything else as text.
        const bool numbers = IsInteger(left) && IsInteger(right);
        const int order = numbers ? CompareIntegers(left, right) : CompareTexts(left, right);
        return comparison.holds(order) != negate ? RunSingle(command) : 0;
    }
    size_t equals = args.find(L"==");
    size_t end = equals == std::wstring_view::npos ? equals : args.find_first_of(L" \t", equals + 2);
    if (equals == std::wstring_view::npos || end == std::wstring_view::npos) {
        ReportError(kUsage);
        return 1;
    }
    bool same = EqualsNoCase(TrimBlanks(args.substr(0, equals)), args.substr(equals + 2, end - equals - 2));
    return same != negate ? RunSingle(args.substr(end)) : 0;
}
