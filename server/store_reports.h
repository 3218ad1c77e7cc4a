// Reports associations that the rules allowed but the table could not store
// (no memory left, or, with a journal, a write that failed). Such failures
// come in floods, one per request, so they are reported at most once a
// second: one line with the latest reason and how many there were.
#pragma once

#include "server/server_state.h"

inline constexpr std::int64_t store_report_interval_s = 1;

// Run after the stages of every pass: cheap when there is nothing to report.
void report_unstored_associations(server_state& s);
