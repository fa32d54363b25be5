// Focus internals: the one system call whose failure GrabFocus must survive but
// that cannot be made to fail for real (reading a system parameter never fails
// under Wine). Tests swap it and put the real one back.
#pragma once
#include <windows.h>

using SystemParametersCall = BOOL(WINAPI*)(UINT action, UINT param, PVOID value, UINT flags);
extern SystemParametersCall g_systemParameters;
inline void ResetFocusCalls() { g_systemParameters = SystemParametersInfoW; }
