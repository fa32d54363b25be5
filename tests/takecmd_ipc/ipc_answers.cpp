// TakeCmd.dll as far as TakeCommandIPC goes, for the plug-in's run-time
// lookup: the .def files beside this one export these two answers under the
// decorated name, the plain one, both, or neither. Each answer says which one
// it is (no digits, so it names no window) and, like TCC, works on the
// request where it lies.
#include <cwctype>
#include <cwchar>

static int Answer(wchar_t* request, wchar_t* reply, const wchar_t* answer) {
    for (wchar_t* p = request; *p; ++p) *p = towupper(*p);
    wcscpy(reply, answer);
    return 0;
}

extern "C" int DecoratedAnswer(wchar_t* request, wchar_t* reply) { return Answer(request, reply, L"decorated"); }
extern "C" int PlainAnswer(wchar_t* request, wchar_t* reply) { return Answer(request, reply, L"plain"); }
