// Paths in any script: the BIN file, its output directory, its journal,
// update's input and convert's output in folders named in Cyrillic, Chinese
// and with characters beyond the Basic Multilingual Plane, in-process and
// through the executable; names from the image stay bytes.
#include <gtest/gtest.h>

#include "common/native_path.h"
#include "tool_run.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace testkit;

namespace {

// U+1F600 and U+20000 take surrogate pairs in UTF-16.
const std::string kFolder = "Юрий 資料/😀 𠀀";
const std::string kBinName = "образ 映像 😀.bin";

Bytes example_image() {
  RomBuilder rom;
  rom.physfirst = rom.image_start;  // so that its raw image opens too
  rom.physlast = rom.image_start + 0x2000;
  RomModule& app = rom.add_module("app.exe");
  app.sections.emplace_back().data = bytes_of("code of app.exe");
  app.sections.back().virtual_size = app.sections.back().rva = 0x1000;
  rom.add_file("hello.txt", bytes_of("hello"));
  rom.add_file("world.txt", bytes_of("world"));
  return rom.layout().build();
}

// The same image at an ASCII path and at one in the folder above.
struct TwoPlaces {
  TempDir dir;
  std::string plain = dir / "nk.bin";
  std::string folder = dir / kFolder;
  std::string bin = folder + "/" + kBinName;
  TwoPlaces() {
    std::filesystem::create_directories(fs_path(folder));
    write_file(plain, example_image());
    write_file(bin, example_image());
  }
};

TEST(AnyPath, TextConvertsBetweenUtf8AndUtf16WithoutLoss) {
  EXPECT_EQ(xipsaw::utf16_of(kFolder), u"Юрий 資料/😀 𠀀");
  EXPECT_EQ(xipsaw::utf8_of(u"Юрий 資料/😀 𠀀"), kFolder);
  // An unpaired surrogate, which Windows allows in a name, travels too.
  const std::u16string lone = u"a\xD800" u"b\xDC00";
  EXPECT_EQ(xipsaw::utf16_of(xipsaw::utf8_of(lone)), lone);
  // Bytes that begin no sequence, overlong forms and cut sequences.
  EXPECT_EQ(xipsaw::utf16_of("\xFF" "a\xC0\xAF" "\xE2\x82"), u"\uFFFDa\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(AnyPath, EveryCommandWorksOnFilesInFoldersOfAnyScript) {
  TwoPlaces t;
  const std::string out = t.folder + "/образ 映像 😀";  // the output directory: up to the first '.'
  EXPECT_EQ(run_tool({t.bin, "list"}).output, run_tool({t.plain, "list"}).output);
  EXPECT_EQ(run_tool({t.bin, "extract"}).output, run_tool({t.plain, "extract"}).output);
  for (const char* name : {"app.exe", "hello.txt", "world.txt"})
    EXPECT_EQ(read_file(out + "/" + name), read_file(t.dir / "nk/" + name)) << name;

  const std::string unpacked = t.folder + "/распаковка 解包 𠀀";
  EXPECT_EQ(run_tool({t.bin, "unpack", unpacked}).exit_code, 0);
  EXPECT_EQ(read_file(unpacked + "/world.txt"), bytes_of("world"));

  // update reads its input from such a path; its journal lies beside the
  // BIN file while it runs. A path in a message is shown as given.
  const std::string input = t.folder + "/новый 新 😀.txt";
  EXPECT_EQ(run_tool({t.bin, "update", "hello.txt", input}).output,
            "Updating hello.txt ...\nUnable to stat file " + input + "\n");
  write_file(input, bytes_of("hi"));
  EXPECT_EQ(run_tool({t.bin, "update", "hello.txt", input}).output, "Updating hello.txt ...\n");
  EXPECT_FALSE(file_exists(t.bin + "-journal"));
  EXPECT_NE(run_tool({t.bin, "list"}).output.find("         2         2             hello.txt"), std::string::npos);

  const std::string raw = t.folder + "/сырой 原始 😀.nb0", back = t.folder + "/снова 再.bin";
  EXPECT_EQ(run_tool({t.bin, "convert", "raw", raw}).output, "Writing " + raw + " ...\n");
  EXPECT_EQ(run_tool({raw, "convert", "bin", back}).exit_code, 0);
  EXPECT_EQ(run_tool({back, "list"}).output, run_tool({t.bin, "list"}).output);
}

TEST(AnyPath, TheExecutableTakesPathsOfAnyScript) {
  TwoPlaces t;
  const std::string input = t.folder + "/новый 新 😀.txt", raw = t.folder + "/сырой 原始 😀.nb0";
  write_file(input, bytes_of("hi"));
  set_environment("XIPSAW_NO_WAIT", "yes");
  const ProcessRun updated = run_program(xipsaw_executable(), {t.bin, "update", "hello.txt", input}, "");
  const ProcessRun converted = run_program(xipsaw_executable(), {t.bin, "convert", "raw", raw}, "");
  set_environment("XIPSAW_NO_WAIT", "");
  EXPECT_EQ(updated.output, "Updating hello.txt ...\n");
  // Into a pipe, a path is UTF-8.
  EXPECT_EQ(converted.output, "Writing " + raw + " ...\n");
  EXPECT_EQ(converted.exit_code, 0);
  EXPECT_NE(run_tool({raw, "list"}).output.find("         2         2             hello.txt"), std::string::npos);
}

// A name in an image is bytes in the code page of the tools that built it:
// on Windows that of the system, in which the name becomes the extracted
// file's and a name given on the command line is matched against it.
TEST(AnyPath, NamesFromTheImageStayBytesInTheSystemsCodePage) {
#if defined(_WIN32)
  if (GetACP() != 1252) GTEST_SKIP() << "the system's code page is " << GetACP() << ", not 1252";
  const std::string name = "caf\u00e9.txt";  // as the command line and the file system have it
#else
  const std::string name = "caf\xe9.txt";
#endif
  TempDir dir;
  RomBuilder rom;
  rom.add_file("caf\xe9.txt", bytes_of("coffee"));
  rom.layout().write(dir / "nk.bin");
  EXPECT_EQ(run_tool({dir / "nk.bin", "extract", name}).output, "Extracting caf\xe9.txt ...\n");
  EXPECT_EQ(read_file(dir / "nk/" + name), bytes_of("coffee"));
}

}  // namespace
