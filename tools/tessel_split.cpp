// tessel_split [--exact] [--full-rules] cl100k_base|o200k_base
// Reads all of standard input as bytes and prints the pieces the encoding's splitter
// yields, one per line, as "start end" byte offsets (end exclusive). --exact splits as
// the published patterns run in a backtracking regex engine (the tiktoken-compatible
// layer); the default is the classic rules of tessel.bpe.openai. --full-rules turns the
// ASCII fast path off.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"

int main(int argc, char** argv) {
  tessel::SplitMode mode = tessel::SplitMode::classic;
  bool full_rules = false;
  const char* encoding = nullptr;
  bool usage_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exact") == 0) {
      mode = tessel::SplitMode::exact;
    } else if (std::strcmp(argv[i], "--full-rules") == 0) {
      full_rules = true;
    } else if (encoding == nullptr) {
      encoding = argv[i];
    } else {
      usage_error = true;
    }
  }
  tessel::SplitRules rules = tessel::SplitRules::cl100k;
  if (encoding == nullptr) {
    usage_error = true;
  } else if (std::strcmp(encoding, "o200k_base") == 0) {
    rules = tessel::SplitRules::o200k;
  } else if (std::strcmp(encoding, "cl100k_base") != 0) {
    usage_error = true;
  }
  if (usage_error) {
    std::fprintf(stderr, "usage: %s [--exact] [--full-rules] cl100k_base|o200k_base < text\n",
                 argv[0]);
    return 2;
  }
  const tessel::PieceSplitter split = full_rules ? tessel::full_rules_splitter(rules, mode)
                                                 : tessel::piece_splitter(rules, mode);
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
