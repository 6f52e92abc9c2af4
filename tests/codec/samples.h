// Real compressed buffers with the size, caller capacity and SHA-256 of their
// expansions (from SHA256SUMS).
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct Sample {
  std::string name;
  uint32_t size = 0;
  uint32_t capacity = 0;
  std::string sha256;
  std::vector<uint8_t> data;
};

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The buffers listed in dir/SHA256SUMS.
inline std::vector<Sample> load_samples(const std::string& dir) {
  std::vector<Sample> samples;
  std::ifstream sums(dir + "/SHA256SUMS");
  Sample s;
  while (sums >> s.sha256 >> s.size >> s.capacity >> s.name) {
    s.data = read_file(dir + "/" + s.name);
    samples.push_back(s);
  }
  return samples;
}

inline std::vector<Sample> load_samples() { return load_samples(XIPSAW_SAMPLES_DIR); }

// More real buffers of the same image, for the compressor: data sections,
// registry hives and files (XIPSAW_CORPUS_DIR).
inline std::vector<Sample> load_corpus() { return load_samples(XIPSAW_CORPUS_DIR); }
