#include "extraction/extracted_file.h"

#include "extraction/failure_report.h"

namespace xipsaw {

bool open_extracted_file(Run& run, const std::string& name, OutputFile& output) {
  if (run.output_directory.open(name, output)) return true;
  report_failure(run, "Unable to open %s\n", output.shown_path().c_str());
  return false;
}

bool close_extracted_file(Run& run, OutputFile& output) {
  if (output.close()) return true;
  report_failure(run, "Unable to write %s\n", output.shown_path().c_str());
  return false;
}

bool finish_extracted_file(Run& run, OutputFile& output, bool whole) {
  if (whole || !run.policy.whole_entries_only) return close_extracted_file(run, output);
  output.discard();
  return false;
}

}  // namespace xipsaw
