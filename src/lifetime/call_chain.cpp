// Walks the host thread's call chain with the system's unwinder, and finds
// where a call lies on it. Owns no state.
#include "lifetime/call_chain.h"
#include <cstddef>

namespace {

// Deeper than any real chain; a walk that goes on past it is not trusted.
constexpr int kMaxFrames = 4096;

// A function split into parts (a cold part placed apart) carries chained
// unwind information; its first part names the function.
const RUNTIME_FUNCTION* PrimaryEntry(DWORD64 imageBase, const RUNTIME_FUNCTION* entry) {
    for (int i = 0; i < 16; ++i) {
        if (entry->UnwindData & 1u) {  // an entry that only points at another one
            entry = reinterpret_cast<const RUNTIME_FUNCTION*>(imageBase + (entry->UnwindData & ~1u));
            continue;
        }
        const auto* info = reinterpret_cast<const uint8_t*>(imageBase + entry->UnwindData);
        if (!((info[0] >> 3) & UNW_FLAG_CHAININFO)) break;
        const unsigned codes = info[2];
        entry = reinterpret_cast<const RUNTIME_FUNCTION*>(info + 4 + 2 * ((codes + 1u) & ~1u));
    }
    return entry;
}

// The top of this thread's stack, from its thread information block, which
// gs points at on x64. GetCurrentThreadStackLimits tells the same, but only
// from Windows 8 on, and Windows 7 refuses to load a DLL that imports it.
// Read directly: the headers' NtCurrentTeb reads it through a memory operand
// at address 0x30, which GCC takes for an access out of bounds.
uintptr_t ThreadStackBase() {
    uintptr_t base;
    __asm__("movq %%gs:%c1, %0" : "=r"(base) : "i"(offsetof(NT_TIB, StackBase)));
    return base;
}

}  // namespace

// The system's own unwinder, the one every exception dispatch uses: it reads
// the unwind tables every x64 module carries, whichever compiler built it, so
// it steps through the host's frames as surely as through ours.
bool WalkCallChain(ChainVisit visit, void* context, uintptr_t* reached) {
    CONTEXT registers;
    RtlCaptureContext(&registers);
    const uintptr_t stackBase = ThreadStackBase();
    for (int depth = 0; depth < kMaxFrames; ++depth) {
        const DWORD64 pc = registers.Rip;
        const uintptr_t low = registers.Rsp;
        *reached = low;
        if (pc == 0 || low >= stackBase) return true;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
        if (!entry) return false;
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, entry, &registers, &handlerData, &establisher, nullptr);
        if (registers.Rsp <= low) return false;
        visit(ChainFrame{static_cast<uintptr_t>(establisher),
                         static_cast<uintptr_t>(imageBase + PrimaryEntry(imageBase, entry)->BeginAddress), low,
                         static_cast<uintptr_t>(registers.Rsp)},
              context);
    }
    return false;
}

namespace {

struct PlaceSearch {
    const void* local;
    CallPlace earlier;
    CallPlace own;
    bool earlierStillThere;
};

void VisitForPlace(const ChainFrame& f, void* context) {
    auto* search = static_cast<PlaceSearch*>(context);
    if (!search->own.frame && FrameHolds(f, search->local))
        search->own = CallPlace{f.frame, f.function};
    else if (search->earlier.frame && f.frame == search->earlier.frame && f.function == search->earlier.function)
        search->earlierStillThere = true;
}

}  // namespace

CallPlace FindCallPlace(const void* local, const CallPlace& earlier, bool* earlierStillThere) {
    PlaceSearch search{local, earlier, CallPlace{}, false};
    uintptr_t reached = 0;
    const bool complete = WalkCallChain(VisitForPlace, &search, &reached);
    if (!complete && earlier.frame >= reached) search.earlierStillThere = true;
    *earlierStillThere = search.earlierStillThere;
    return search.own;
}
