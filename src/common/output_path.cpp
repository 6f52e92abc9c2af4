#include "common/output_path.h"

#include <filesystem>
#include <system_error>

#include "common/journal_path.h"

namespace xipsaw {

bool name_stays_below(const std::string& name) {
#if defined(_WIN32)
  if (name.find('\\') != std::string::npos) return false;
#endif
  if (!name.empty() && name[0] == '/') return false;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
    return false;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('/', start);
    if (name.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

std::string output_path(const std::string& output_directory, const std::string& name) {
  return (output_directory.empty() ? std::string(".") : output_directory) + "/" + name;
}

void make_output_directory(const std::string& output_directory) {
  if (output_directory.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directory(std::filesystem::path(output_directory), ignored);
}

std::FILE* open_output_file(const std::string& path, const std::string& name, const std::string& bin_path) {
  if (!name_stays_below(name)) return nullptr;
  std::error_code ec;
  if (std::filesystem::equivalent(path, bin_path, ec)) return nullptr;
  // Nor may it take the place of the update journal, which the next run
  // would play back into the BIN file (or remove).
  std::error_code ec_path, ec_journal;
  const std::filesystem::path where = std::filesystem::weakly_canonical(path, ec_path);
  const std::filesystem::path journal = std::filesystem::weakly_canonical(journal_path(bin_path), ec_journal);
  if (!ec_path && !ec_journal && where == journal) return nullptr;
  return std::fopen(path.c_str(), "wb");
}

}  // namespace xipsaw
