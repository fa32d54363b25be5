// The list of series (g_state.liveSeries) and the rule that tells which of
// them are live; for the release rules beside it.
#pragma once
#include "lifetime/series_hold.h"

// Marks every listed series live or dead by one walk of the call chain, and
// fills own's frame and function (when own is not null and its frame is
// still 0) with those of the call whose frame holds own->owner.
void MarkLiveSeries(SeriesFrame* own);
// The innermost series the latest walk found dead, or null. Read afresh each
// time: a release calls the host, and the host may call back.
SeriesHold* InnermostDead();
// A live series that is really running (not a start hold, not shut down).
bool IsRunning(const SeriesHold* hold);
// Whatever is listed is a kv that holds no series yet.
bool NoSeriesRunning();

void Unlink(SeriesHold* hold);
// Null when every start hold is taken.
SeriesHold* HoldStart(const SeriesFrame& call, HMODULE module);
// Frees the hold's memory, or frees a start hold for the next kv.
void FreeHold(SeriesHold* hold);
