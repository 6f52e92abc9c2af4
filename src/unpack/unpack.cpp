#include "unpack/unpack.h"

#include "images/each_image.h"
#include "extraction/failure_report.h"
#include "files/file_pass.h"
#include "modules/module_exports.h"
#include "modules/module_pass.h"
#include "output/messages.h"

namespace xipsaw {

int unpack(Run& run, int word_count, const char* const* words) {
  if (word_count == 1) {
    run.output_directory.set_name(words[0]);
    run.output_directory.create_parents(true);
  }
  run.policy.run_addresses = true;
  run.policy.whole_entries_only = true;
  const size_t images = for_each_image(run, [&] {
    // A directory that cannot be had is said once, not at every entry.
    if (!run.output_directory.prepare()) {
      run.entry.clear();
      report_failure(run, "Unable to open %s\n", printable(run.output_directory.name()).c_str());
      return;
    }
    // Imports by ordinal are named from the exports of the image's DLLs,
    // which all have to be known before the first module is written.
    run.export_names = gather_export_names(run);
    process_modules(run, kExtract, 0, nullptr);
    process_files(run, kExtract, 0, nullptr);
  });
  if (images == 0) return kNoImage;
  return run.failed_entries == 0 ? kSound : kProblems;
}

}  // namespace xipsaw
