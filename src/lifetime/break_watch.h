// The break watch: counts every Ctrl+C and Ctrl+Break in
// g_state.breaksNoted while a series (or a title restore) may meet one.
#pragma once

// Registers the plug-in's console control handler, unless it is: from then
// on every Ctrl+C and Ctrl+Break counts in g_state.breaksNoted. It only
// counts and passes the event on, so the host still sees the break.
void WatchForBreaks();
// Takes the handler away once no series is listed any more.
void StopWatchingBreaksIfIdle();
// Takes it away whatever is listed: shut-down.
void StopWatchingBreaks();
