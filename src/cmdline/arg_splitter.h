// Splits the KV argument line into the process-wide argument list
// (g_state.argCount, argv, argLen, argBuf).
#pragma once

// Returns the number of arguments, or -1 for a null line (the list is left as
// it was) or a buffer overflow (argCount is then 0).
int SplitArgs(const wchar_t* line);
