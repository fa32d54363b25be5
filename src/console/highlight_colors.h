// Highlight internals: where the user's colour choice is looked for and how a
// choice (or none) becomes a highlight attribute. No state of their own.
#pragma once
#include <windows.h>
#include <cstdint>

constexpr int kBackgroundKeep = 64;   // a background that means: keep the current one

// The first non-empty Highlight text (environment, then the four registry
// values) into text (1024 characters); false when no source gives one.
bool ReadHighlightChoice(wchar_t* text);
// The highlight for a choice text given the current attribute; 0 for none.
// Colour names go to the host, which may write into text.
uint8_t HighlightFromChoice(wchar_t* text, int current);
// The highlight derived from the current attribute alone; 0 for none.
uint8_t DefaultHighlight(int current);
