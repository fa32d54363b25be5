// The help texts of KV, of its /O suboptions and of _TRIALRUN, and the
// routine that writes the KV help to the console.
#pragma once

extern const wchar_t KvHelpText[];
// The lines /? writes after KvHelpText, one for each option it leaves out.
extern const wchar_t KvMoreOptionsHelpText[];
extern const wchar_t OptionOHelpText[];
extern const wchar_t TrialRunHelpText[];
// One text for the eight variables of the latest series' figures.
extern const wchar_t KvVariablesHelpText[];

// Writes KvHelpText and KvMoreOptionsHelpText through the host's QPuts, with
// their italics marks turned into escape sequences on a pseudo console and
// removed elsewhere. Returns what QPuts returned.
int ShowHelpText();
