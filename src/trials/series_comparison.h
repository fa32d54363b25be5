// /C: how this series' average compares with the previous one's, with a 95%
// interval of the ratio from both series' standard errors (Welch), and a
// verdict on whether the difference is real.
#pragma once
#include <cstdint>
#include "frame/plugin_state.h"

// The 97.5% point of Student's t distribution for nu degrees of freedom
// (at least 1): a table up to 30, an expansion around the normal beyond.
double StudentT975(uint32_t nu);

// The "Compared" text of now against previous, in a static buffer; with
// ratio, the figures behind it for the _KVRATIO variables (not valid when
// the averages could not be compared).
const wchar_t* CompareWithPrevious(const SeriesFigures& now, const SeriesFigures& previous,
                                   SeriesRatio* ratio = nullptr);
