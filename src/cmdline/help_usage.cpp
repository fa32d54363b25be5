// Usage and help for the host. (Nothing to offer yet: the help texts replace this.)
#include "../frame/plugin_exports.h"

int Usage(const wchar_t*, wchar_t*) { return 0; }
int Help(const wchar_t*) { return 0; }
