// The result a finished KV series leaves for the next one's /C and for batch
// files, through the _KV variables.
#pragma once
#include "frame/plugin_state.h"

// Replaces g_state.kept with these figures and the command, cut to 60
// characters followed by "..." when longer.
void KeepSeriesResult(const SeriesFigures& figures, const wchar_t* command);
