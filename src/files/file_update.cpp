#include "files/file_update.h"

namespace xipsaw {

UpdateStep update_file(Run& run, uint32_t index, int, const char* const* words, bool& found) {
  if (run.image.file_table[index].name == words[0]) found = true;
  return UpdateStep::next_entry;
}

}  // namespace xipsaw
