#include "extraction/failure_report.h"

#include <cstdarg>

#include "output/messages.h"

namespace xipsaw {

void report_failure(Run& run, const char* format, ...) {
  ++run.failed_entries;
  if (run.policy.whole_entries_only && !run.entry.empty()) say(run.out, "%s: ", printable(run.entry).c_str());
  va_list args;
  va_start(args, format);
  vsay(run.out, format, args);
  va_end(args);
}

}  // namespace xipsaw
