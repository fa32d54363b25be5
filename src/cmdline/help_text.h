// The help texts of KV, of its /O suboptions and of _TRIALRUN, and the
// routine that writes the KV help to the console.
#pragma once

extern const wchar_t KvHelpText[];
extern const wchar_t OptionOHelpText[];
extern const wchar_t TrialRunHelpText[];
// One text for the eight variables of the latest series' figures.
extern const wchar_t KvVariablesHelpText[];

// Writes KvHelpText through the host's QPuts, with its italics marks turned
// into escape sequences on a pseudo console and removed elsewhere. Returns
// what QPuts returned.
int ShowHelpText();
