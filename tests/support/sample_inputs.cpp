// Fixed seeds: every run of every test sees the same bytes.
#include "support/sample_inputs.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace cdedup::test {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes sample_with_repeats() {
  const Bytes a = random_bytes(30000, 41), b = random_bytes(12000, 42);
  return concat({a, b, a, random_bytes(777, 43), b, a, a});
}

void make_tree(const std::string& root) {
  std::error_code ec;
  std::filesystem::create_directories(root + "/sub", ec);
  ASSERT_FALSE(ec) << root << ": " << ec.message();
  const Bytes big = random_bytes(300000, 7), small = random_bytes(20000, 8);
  write_file(root + "/a.bin", big);
  write_file(root + "/small.bin", small);
  write_file(root + "/sub/a-copy.bin", big);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 700) + " of a text file\n";
  write_file(root + "/notes.txt", to_bytes(text));
  write_file(root + "/sub/small-copy.bin", small);
}

}  // namespace cdedup::test
