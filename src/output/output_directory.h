// Extracted files: "%s/%s" paths below the output directory, opened only as
// plain files that really lie inside it, so that neither a hostile image nor
// a hostile output directory can make the tool write anywhere else.
#pragma once

#include <string>
#include <utility>

#include "output/output_file.h"

namespace xipsaw {

// True when name, taken from the image, stays below the output directory:
// no absolute path, no drive letter, no ".." component. On Windows also no
// backslash, no ':', and no component that is a device name (CON, NUL, COM1,
// lpt2.txt, ...) or ends in '.' or ' '.
bool name_stays_below(const std::string& name);

// The output path of an entry as messages show it: the output directory as
// given, then the entry's name as the image holds it. An empty output
// directory (a BIN file argument that begins with '.') puts the files in the
// current directory rather than at the file system's root.
std::string shown_output_path(const std::string& output_directory, const std::string& entry);

// The output directory of a run. It is created (one level) and opened once,
// at the first extraction; every output file is then opened relative to it,
// walking the name's directories without following links. The directory
// itself may be a link the user made; only what lies below it is judged.
class OutputDirectory {
 public:
  OutputDirectory() = default;
  ~OutputDirectory();
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;

  void set_name(std::string name) { name_ = std::move(name); }
  const std::string& name() const { return name_; }

  // Names the files that no output may take the place of: the BIN file,
  // open as bin_descriptor, and the journal of an update to it, which the
  // next run would play back into the BIN file.
  void protect(int bin_descriptor, std::string journal_path);
  // What protect() named, its identities learnt.
  const ProtectedFiles& protected_files() {
    if (!protected_learnt_) protected_.learn();
    protected_learnt_ = true;
    return protected_;
  }

  // Puts the entries opened from now on into the subdirectory of that name
  // (one level, below the directory), or back into the directory itself
  // with an empty name.
  void set_subdirectory(std::string name);

  // With parents set, prepare() creates every missing directory of the
  // name, not only its last.
  void create_parents(bool parents) { parents_ = parents; }

  // Creates the directory, failure ignored, and opens it, then creates the
  // subdirectory, if any, the same way. Does nothing once both are there; a
  // directory that cannot be had shows as the failure of every open. False
  // when the directory could not be opened.
  bool prepare();

  // Opens the entry name below the directory as a plain file for writing,
  // created, or truncated once it is known to be safe to write. Sets
  // file.shown_path() in any case. False, with nothing on disk changed, when
  // the name leads outside the directory or holds a control byte, when a link,
  // a FIFO, a device or anything but a plain file (or, on the way, a plain
  // directory) is met, when the file is the BIN file or the journal's path,
  // or when it cannot be opened.
  bool open(const std::string& name, OutputFile& file);

 private:
  std::string name_;
  std::string subdirectory_;
  bool subdirectory_made_ = false;
  bool parents_ = false;
  ProtectedFiles protected_;
  bool protected_learnt_ = false;
#if defined(_WIN32)
  void* handle_ = nullptr;  // the directory's HANDLE once prepared
#else
  int fd_ = -1;
#endif
};

}  // namespace xipsaw
