// The distribution of /G: the counted runs of a series in at most ten bins
// of equal width, drawn as bars after the report.
#pragma once
#include <cstdint>
#include "trials/trial_report.h"

// Writes the distribution of the Counted runs among count records through
// the host's output, figures being what the report found in them; nothing
// when none is counted.
void PrintDistribution(const RunRecord* records, uint32_t count, const SeriesFigures& figures);
