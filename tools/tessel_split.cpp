// tessel_split cl100k_base|o200k_base
// Reads all of standard input as bytes and prints the pieces the encoding's splitter
// yields, one per line, as "start end" byte offsets (end exclusive).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"

int main(int argc, char** argv) {
  tessel::PieceSplitter split = nullptr;
  if (argc == 2 && std::strcmp(argv[1], "cl100k_base") == 0) split = tessel::split_next_cl100k;
  if (argc == 2 && std::strcmp(argv[1], "o200k_base") == 0) split = tessel::split_next_o200k;
  if (split == nullptr) {
    std::fprintf(stderr, "usage: %s cl100k_base|o200k_base < text\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> text;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    text.insert(text.end(), buffer, buffer + got);
  }
  if (std::ferror(stdin)) {
    std::perror("tessel_split: reading standard input");
    return 1;
  }
  uint64_t position = 0, start = 0, end = 0;
  while (tessel::next_piece(split, text.data(), text.size(), position, start, end)) {
    std::printf("%llu %llu\n", static_cast<unsigned long long>(start),
                static_cast<unsigned long long>(end));
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("tessel_split: writing standard output");
    return 1;
  }
  return 0;
}
