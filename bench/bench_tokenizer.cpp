// Tokenizer benchmark: MB/s of tokenizer_encode and tokenizer_count for both built-in
// encodings on English prose, code, short indented documents and CJK text, the share of
// encode time the splitter takes alone, and times on single huge pieces at 1 MiB and 4 MiB
// (linear growth shows as a ratio near 4; "x prose" is the per-byte time against prose).
// "x plain" is the speed-up of encode over tokenizer_encode_plain, run interleaved.
//   bench_tokenizer [PYTHON_STDLIB_DIR]
//   bench_tokenizer --once ENCODING CORPUS [PYTHON_STDLIB_DIR]
// --once encodes one corpus a single time, for instruction counts under
//   valgrind --tool=callgrind --toggle-collect='tessel::tokenizer_encode*' ...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pretokenize/block_pieces.hpp"
#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"
#include "tokenizer/builtin_encodings.hpp"

using namespace tessel;
using Clock = std::chrono::steady_clock;

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string corpus(const std::vector<std::string>& paths, size_t at_least) {
  std::string text;
  while (text.size() < at_least) {
    const size_t before = text.size();
    for (const std::string& path : paths) text += read_file(path);
    if (text.size() == before) break;
  }
  return text;
}

// Plain-text documents of the machine's packages (READMEs, NEWS, TODO and *.txt files of
// /usr/share/doc, uncompressed ones): short indented paragraphs, quotations, tables and
// some ASCII art. Sorted, so the same on every run of the same machine.
std::vector<std::string> package_documents() {
  std::vector<std::string> paths;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/doc", error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    const std::string name = it->path().filename().string();
    if (name.starts_with("README") || name == "NEWS" || name == "TODO" || name.ends_with(".txt")) {
      if (!name.ends_with(".gz")) paths.push_back(it->path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Medians of a and b run alternately, for an A/B ratio that load on the machine hits alike.
template <typename A, typename B>
std::pair<double, double> interleaved_medians(int runs, A&& a, B&& b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    a();
    ta.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    t0 = Clock::now();
    b();
    tb.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

template <typename F>
double median_seconds(int runs, F&& f) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    f();
    times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A one-piece input of the given size: the unit repeated, or, for an empty unit, random
// ASCII letters (the same on every run).
std::string repeat(const std::string& unit, size_t bytes) {
  std::string s;
  if (unit.empty()) {
    uint64_t state = 20240601;
    while (s.size() < bytes) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const int letter = static_cast<int>((state >> 33) % 52);
      s += static_cast<char>(letter < 26 ? 'a' + letter : 'A' + letter - 26);
    }
    return s;
  }
  while (s.size() + unit.size() <= bytes) s += unit;
  return s;
}

// The pieces the way tokenizer_encode takes them: a block at a time where the text is
// mostly plain ASCII, else from the splitter's walk.
uint64_t split_only(const TokenizerModel& t, const uint8_t* bytes, uint64_t length) {
  uint64_t position = 0, start = 0, end = 0, pieces = 0;
  const auto count = [&](auto& walk) {
    while (walk.next(start, end)) ++pieces;
  };
  if (ascii::mostly_plain_blocks(bytes, length) &&
      with_block_pieces(t.splitter, bytes, length, count)) {
    return pieces;
  }
  while (next_piece(t.splitter, bytes, length, position, start, end)) ++pieces;
  return pieces;
}

std::vector<std::pair<const char*, std::string>> corpora(const std::string& lib) {
  return {
      {"English", corpus({"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0",
                          "/usr/share/common-licenses/GFDL-1.3"}, 4 << 20)},
      {"Python code", corpus({lib + "/typing.py", lib + "/argparse.py", lib + "/subprocess.py"}, 4 << 20)},
      {"package docs", corpus(package_documents(), 2 << 20)},
      {"CJK", corpus({lib + "/test/cjkencodings/gb2312-utf8.txt", lib + "/test/cjkencodings/shift_jis-utf8.txt",
                      lib + "/test/cjkencodings/cp949-utf8.txt", lib + "/test/cjkencodings/big5-utf8.txt"},
                     1 << 20)},
  };
}

const std::string kDefaultStdlib = "/root/.pyenv/versions/3.12.1/lib/python3.12";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--once") == 0) {
    const BuiltinEncoding e = std::strcmp(argv[2], "o200k_base") == 0 ? BuiltinEncoding::o200k_base
                                                                       : BuiltinEncoding::cl100k_base;
    const TokenizerModel& t = builtin_tokenizer(e);
    for (const auto& [name, text] : corpora(argc > 4 ? argv[4] : kDefaultStdlib)) {
      if (std::strcmp(name, argv[3]) != 0) continue;
      const auto ids = tokenizer_encode(t, reinterpret_cast<const uint8_t*>(text.data()), text.size());
      std::printf("%s %s: %zu bytes, %zu tokens\n", argv[2], name, text.size(), ids.size());
      return 0;
    }
    std::fprintf(stderr, "no corpus named %s\n", argv[3]);
    return 2;
  }
  const auto texts = corpora(argc > 1 ? argv[1] : kDefaultStdlib);
  const std::vector<std::pair<const char*, std::string>> units = {
      {"one letter", "a"}, {"random letters", ""}, {"punctuation", "!?"}, {"spaces", " "}, {"one CJK char", "\xE4\xB8\xAD"}};

  for (BuiltinEncoding e : {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base}) {
    const TokenizerModel& t = builtin_tokenizer(e);
    std::printf("\n%s\n%-14s %8s %12s %12s %8s %8s\n", builtin_encoding_name(e), "corpus", "MB",
                "encode MB/s", "count MB/s", "split %", "x plain");
    double prose_seconds_per_byte = 0;
    for (const auto& [name, text] : texts) {
      if (text.empty()) continue;
      const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
      const auto [enc, plain] = interleaved_medians(
          7, [&] { tokenizer_encode(t, bytes, text.size()); },
          [&] { tokenizer_encode_plain(t, bytes, text.size()); });
      const double cnt = median_seconds(5, [&] { tokenizer_count(t, bytes, text.size()); });
      const double split = median_seconds(5, [&] { split_only(t, bytes, text.size()); });
      if (prose_seconds_per_byte == 0) prose_seconds_per_byte = enc / text.size();
      std::printf("%-14s %8.2f %12.1f %12.1f %8.0f %8.2f\n", name, text.size() / 1e6,
                  text.size() / enc / 1e6, text.size() / cnt / 1e6, 100 * split / enc, plain / enc);
    }
    std::printf("%-14s %10s %10s %8s %8s\n", "one piece", "1 MiB ms", "4 MiB ms", "ratio", "x prose");
    for (const auto& [name, unit] : units) {
      double seconds[2];
      for (int k = 0; k < 2; ++k) {
        const std::string text = repeat(unit, (k == 0 ? 1u : 4u) << 20);
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        seconds[k] = median_seconds(3, [&] { tokenizer_encode(t, bytes, text.size()); });
      }
      std::printf("%-14s %10.1f %10.1f %8.2f %8.2f\n", name, 1e3 * seconds[0], 1e3 * seconds[1],
                  seconds[1] / seconds[0], seconds[0] / (1 << 20) / prose_seconds_per_byte);
    }
  }
  return 0;
}
