// Sends a series' output and errors to nul, puts them back, and keeps the
// devices of released series open. Owns the kept devices.
#include "lifetime/kept_devices.h"
#include "frame/sys_calls.h"
#include "lifetime/series_hold.h"

namespace {

// The nul devices of released series, with the handles they replaced. The
// host may still hold such a handle to put back when a redirection of its
// own ends (a line "kv ... > file" started while a broken-off series' device
// was standard output), so it is not closed: wherever a standard handle is
// found to be one of these again, the series' saved handle goes back.
struct KeptDevice {
    HANDLE nul, savedOut, savedErr;
};
// Enough for every /B series a batch file breaks off between two prompts;
// past that the oldest is closed. All are closed at shut-down.
constexpr int kKeptDevices = 8;
KeptDevice s_kept[kKeptDevices];
int s_keptCount;

void PutBack(HANDLE nul, HANDLE savedOut, HANDLE savedErr) {
    if (GetStdHandle(STD_OUTPUT_HANDLE) == nul) SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    if (GetStdHandle(STD_ERROR_HANDLE) == nul) SetStdHandle(STD_ERROR_HANDLE, savedErr);
}

void CloseOldestKeptDevice() {
    const KeptDevice oldest = s_kept[0];
    PutBack(oldest.nul, oldest.savedOut, oldest.savedErr);
    CloseHandle(oldest.nul);
    --s_keptCount;
    for (int i = 0; i < s_keptCount; ++i) {
        s_kept[i] = s_kept[i + 1];
        if (s_kept[i].savedOut == oldest.nul) s_kept[i].savedOut = oldest.savedOut;
        if (s_kept[i].savedErr == oldest.nul) s_kept[i].savedErr = oldest.savedErr;
    }
}

// Puts back the standard handles that are still the series' device, and
// hands the device over; null when it had none.
HANDLE TakeBackStdHandles(SeriesHold* hold) {
    HANDLE nul = hold->nulDevice;
    if (!nul) return nullptr;
    hold->nulDevice = nullptr;
    // Only where the handle is still this series' device: the host may have
    // put its own handles back after a break, and the saved ones may be
    // closed by now.
    PutBack(nul, hold->savedOut, hold->savedErr);
    return nul;
}

}  // namespace

void RedirectToNul(SeriesHold* hold) {
    hold->savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    hold->savedErr = GetStdHandle(STD_ERROR_HANDLE);
    // Inheritable, as a shell's own "> nul" is: a host that starts programs
    // with the standard handles inherited as they are would otherwise give
    // them no standard output at all, and one that checks its writes fails.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE nul = g_sys.createFileW(L"nul", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inheritable, OPEN_ALWAYS,
                                   0, nullptr);
    // Without the device the runs simply go ahead with their output visible.
    if (!nul || nul == INVALID_HANDLE_VALUE) return;
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    SetStdHandle(STD_ERROR_HANDLE, nul);
    hold->nulDevice = nul;
}

void RestoreStdHandles(SeriesHold* hold) {
    if (HANDLE nul = TakeBackStdHandles(hold)) CloseHandle(nul);
}

void KeepStdHandles(SeriesHold* hold) {
    HANDLE nul = TakeBackStdHandles(hold);
    if (!nul) return;
    // Its series is over: every program started from now on would inherit a
    // handle nobody gives it as a standard handle any more.
    SetHandleInformation(nul, HANDLE_FLAG_INHERIT, 0);
    if (s_keptCount == kKeptDevices) CloseOldestKeptDevice();
    s_kept[s_keptCount++] = KeptDevice{nul, hold->savedOut, hold->savedErr};
}

void PutBackStdHandles(const SeriesHold* hold) {
    if (hold->nulDevice) PutBack(hold->nulDevice, hold->savedOut, hold->savedErr);
}

// Newest first: a series' saved handle may be the device of one it ran in.
void PutBackKeptDevices() {
    for (int i = s_keptCount - 1; i >= 0; --i) PutBack(s_kept[i].nul, s_kept[i].savedOut, s_kept[i].savedErr);
}

void CloseKeptDevices() {
    while (s_keptCount) CloseOldestKeptDevice();
}
