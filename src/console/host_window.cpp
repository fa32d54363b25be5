// Window discovery. (No ancestor list yet: window discovery replaces this.)
#include "console_env.h"

int BuildAncestorList(DWORD) { return 0; }
