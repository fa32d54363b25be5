// Load entry point of kelvane.dll: everything is set up in InitializePlugin,
// so loading and unloading need nothing here.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
