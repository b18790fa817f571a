// Tokenizer benchmark: MB/s of tokenizer_encode and tokenizer_count on English prose, code
// and CJK text for both built-in encodings, and times on single huge pieces at 1 MiB and
// 4 MiB (linear growth shows as a ratio near 4).
//   bench_tokenizer [PYTHON_STDLIB_DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

std::string repeat(const std::string& unit, size_t bytes) {
  std::string s;
  while (s.size() + unit.size() <= bytes) s += unit;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string lib = argc > 1 ? argv[1] : "/root/.pyenv/versions/3.12.1/lib/python3.12";
  const std::vector<std::pair<const char*, std::string>> corpora = {
      {"English", corpus({"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0",
                          "/usr/share/common-licenses/GFDL-1.3"}, 4 << 20)},
      {"Python code", corpus({lib + "/typing.py", lib + "/argparse.py", lib + "/subprocess.py"}, 4 << 20)},
      {"CJK", corpus({lib + "/test/cjkencodings/gb2312-utf8.txt", lib + "/test/cjkencodings/shift_jis-utf8.txt",
                      lib + "/test/cjkencodings/cp949-utf8.txt", lib + "/test/cjkencodings/big5-utf8.txt"},
                     1 << 20)},
  };
  const std::vector<std::pair<const char*, std::string>> units = {
      {"one letter", "a"}, {"punctuation", "!?"}, {"spaces", " "}, {"one CJK char", "\xE4\xB8\xAD"}};

  for (BuiltinEncoding e : {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base}) {
    const TokenizerModel& t = builtin_tokenizer(e);
    std::printf("\n%s\n%-14s %10s %12s %12s\n", builtin_encoding_name(e), "corpus", "MB",
                "encode MB/s", "count MB/s");
    for (const auto& [name, text] : corpora) {
      if (text.empty()) continue;
      const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
      const double enc = median_seconds(5, [&] { tokenizer_encode(t, bytes, text.size()); });
      const double cnt = median_seconds(5, [&] { tokenizer_count(t, bytes, text.size()); });
      std::printf("%-14s %10.2f %12.1f %12.1f\n", name, text.size() / 1e6, text.size() / enc / 1e6,
                  text.size() / cnt / 1e6);
    }
    std::printf("%-14s %12s %12s %8s\n", "one piece", "1 MiB ms", "4 MiB ms", "ratio");
    for (const auto& [name, unit] : units) {
      double ms[2];
      for (int k = 0; k < 2; ++k) {
        const std::string text = repeat(unit, (k == 0 ? 1u : 4u) << 20);
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        ms[k] = 1e3 * median_seconds(3, [&] { tokenizer_encode(t, bytes, text.size()); });
      }
      std::printf("%-14s %12.1f %12.1f %8.2f\n", name, ms[0], ms[1], ms[1] / ms[0]);
    }
  }
  return 0;
}
