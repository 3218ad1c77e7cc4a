#include "server/store_reports.h"

#include "server/messages.h"

void report_unstored_associations(server_state& s) {
    store_failures& unstored = s.atoms->unstored;
    if (unstored.count == 0) return;
    const std::int64_t now = s.clock();
    if (s.last_store_report != 0 && now - s.last_store_report < store_report_interval_s) return;
    s.last_store_report = now;
    write_err("associate: %s: %llu association%s not made\n",
              unstored.reason != nullptr ? unstored.reason : "not stored",
              static_cast<unsigned long long>(unstored.count), unstored.count == 1 ? "" : "s");
    unstored.count = 0;
}
