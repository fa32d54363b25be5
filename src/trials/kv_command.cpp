// The KV command. (Runs nothing yet: the trial flow replaces this.)
#include "../frame/plugin_exports.h"

int kv(wchar_t* arguments) { return arguments ? 0 : ERROR_INVALID_PARAMETER; }
