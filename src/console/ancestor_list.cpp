// The ancestor list: this process and its parents upwards, read from a process
// snapshot and cut where a supposed parent is newer than its child (its id was
// reused). Owns g_state.ancestorPids and g_state.ancestorCount.
#include <windows.h>
#include <tlhelp32.h>
#include <cstdlib>
#include <cstring>
#include "console/console_env.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "console/host_window.h"

// Process32FirstW/NextW insist on a zeroed record whose size field is set.
static void PrepareEntry(PROCESSENTRY32W* entry) {
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = sizeof *entry;
}

DWORD CountProcesses(HANDLE snapshot) {
    if (!snapshot || snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry;
    DWORD count = 0;
    PrepareEntry(&entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ++count;
        PrepareEntry(&entry);
    }
    return count;
}

const PROCESSENTRY32W* FindProcessEntry(const PROCESSENTRY32W* records, DWORD count, DWORD processId) {
    if (!records || count == 0 || processId == 0) return nullptr;
    for (DWORD i = 0; i < count; ++i)
        if (records[i].th32ProcessID == processId) return &records[i];
    return nullptr;
}

int GetProcessCreationTime(DWORD processId, FILETIME* creationTime) {
    if (!creationTime) return -1;
    *creationTime = FILETIME{};
    // The limited right exists from Vista on and is granted far more often.
    DWORD access = g_state.osVersion.dwMajorVersion >= 6 ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
    HANDLE process = OpenProcess(access, FALSE, processId);
    if (!process) return 0;
    FILETIME exitTime, kernelTime, userTime;
    FILETIME created{};
    BOOL ok = GetProcessTimes(process, &created, &exitTime, &kernelTime, &userTime);
    CloseHandle(process);
    if (!ok) return 0;
    *creationTime = created;
    return 1;
}

static uint64_t CreationTicks(CreationTimeLookup creationTime, DWORD processId) {
    FILETIME time{};
    if (creationTime(processId, &time) != 1) return 0;
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

DWORD WalkAncestors(const PROCESSENTRY32W* records, DWORD count, DWORD processId, CreationTimeLookup creationTime,
                    DWORD* chain) {
    const PROCESSENTRY32W* current = FindProcessEntry(records, count, processId);
    if (!current) return 0;
    uint64_t childTime = CreationTicks(creationTime, processId);
    DWORD length = 0;
    chain[length++] = processId;
    // Bounded by the number of records, which also ends a loop in the parent ids.
    for (DWORD candidate = current->th32ParentProcessID; candidate != 0 && length < count;
         candidate = current->th32ParentProcessID) {
        current = FindProcessEntry(records, count, candidate);
        if (!current) break;
        if (childTime != 0) {
            uint64_t parentTime = CreationTicks(creationTime, candidate);
            // A parent newer than its child is a later process that got the id
            // of the real, exited parent.
            if (parentTime != 0 && parentTime > childTime) break;
            childTime = parentTime;
        }
        chain[length++] = candidate;
    }
    return length;
}

int BuildAncestorList(DWORD processId) {
    if (processId == 0) processId = GetCurrentProcessId();
    if (processId == 0) return -1;

    free(g_state.ancestorPids);
    g_state.ancestorPids = nullptr;
    g_state.ancestorCount = 0;

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    DWORD capacity = CountProcesses(snapshot);
    PROCESSENTRY32W* records = nullptr;
    DWORD* chain = nullptr;
    DWORD length = 0;
    if (capacity > 0) {
        records = static_cast<PROCESSENTRY32W*>(g_sys.allocate(capacity * sizeof(PROCESSENTRY32W)));
        chain = static_cast<DWORD*>(g_sys.allocate(capacity * sizeof(DWORD)));
    }
    if (records && chain) {
        // Processes may have ended since the count; only what was copied is used.
        DWORD copied = 0;
        PrepareEntry(&records[0]);
        BOOL more = Process32FirstW(snapshot, &records[0]);
        while (more && ++copied < capacity) {
            PrepareEntry(&records[copied]);
            more = Process32NextW(snapshot, &records[copied]);
        }
        length = WalkAncestors(records, copied, processId, GetProcessCreationTime, chain);
    }
    if (length > 0) {
        DWORD* list = static_cast<DWORD*>(g_sys.allocate(length * sizeof(DWORD)));
        if (list) {
            std::memcpy(list, chain, length * sizeof(DWORD));
            g_state.ancestorPids = list;
            g_state.ancestorCount = length;
        } else {
            length = 0;
        }
    }
    free(chain);
    free(records);
    CloseHandle(snapshot);
    return static_cast<int>(length);
}

bool IsAncestorProcess(DWORD processId) {
    if (processId == 0) return false;
    if (g_state.ancestorCount == 0) BuildAncestorList(GetCurrentProcessId());
    for (uint32_t i = 0; i < g_state.ancestorCount; ++i)
        if (g_state.ancestorPids[i] == processId) return true;
    return false;
}
