// bench_splitters [PYTHON_STDLIB_DIR]
// Throughput of the piece splitters alone (the walk, no encoding), both encodings in both
// modes, with the ASCII fast path and with the full rules alone, interleaved run by run in
// this process, on English prose, Python code and CJK text; the same comparison for the
// whole pipeline (tokenizer_encode over one model); and the splitters' time on single
// huge pieces of 1 MiB and 4 MiB, which should grow linearly. Corpora come from this machine: /usr/share/common-licenses,
// the interpreter's Lib/*.py and Lib/test/cjkencodings/*-utf8.txt (the stdlib directory
// is asked from `python3` when not given).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"
#include "tokenizer/builtin_encodings.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Concatenation of the matching files, repeated or cut to target bytes.
std::string corpus(const fs::path& dir, const std::string& suffix, size_t target) {
  std::vector<fs::path> paths;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::string all;
  for (const auto& p : paths) all += read_file(p) + "\n";
  if (all.empty()) return all;
  std::string out;
  while (out.size() < target) out += all;
  out.resize(target);
  return out;
}

std::string python_stdlib() {
  FILE* pipe = popen("python3 -c 'import sysconfig; print(sysconfig.get_paths()[\"stdlib\"])'", "r");
  if (pipe == nullptr) return {};
  char line[4096] = {};
  const bool ok = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  std::string path = ok ? line : "";
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

// Seconds for one walk over text; the piece count is folded into sink.
double walk_seconds(tessel::PieceSplitter split, const std::string& text, uint64_t& sink) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto started = std::chrono::steady_clock::now();
  uint64_t position = 0, start = 0, end = 0, pieces = 0;
  while (tessel::next_piece(split, bytes, text.size(), position, start, end)) ++pieces;
  const auto stopped = std::chrono::steady_clock::now();
  sink += pieces;
  return std::chrono::duration<double>(stopped - started).count();
}

double median_seconds(tessel::PieceSplitter split, const std::string& text, int runs,
                      uint64_t& sink) {
  walk_seconds(split, text, sink);  // warm-up
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(walk_seconds(split, text, sink));
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Medians of runs of a and b, alternating a, b, a, b... after one warm-up each, so both see
// the same machine load.
std::pair<double, double> interleaved_medians(tessel::PieceSplitter a, tessel::PieceSplitter b,
                                              const std::string& text, int runs,
                                              uint64_t& sink) {
  walk_seconds(a, text, sink);
  walk_seconds(b, text, sink);
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    ta.push_back(walk_seconds(a, text, sink));
    tb.push_back(walk_seconds(b, text, sink));
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

// The same for tokenizer_encode with two tokenizers.
std::pair<double, double> interleaved_encode_medians(const tessel::TokenizerModel& a,
                                                     const tessel::TokenizerModel& b,
                                                     const std::string& text, int runs) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto seconds = [&](const tessel::TokenizerModel& t) {
    const auto started = std::chrono::steady_clock::now();
    const auto ids = tessel::tokenizer_encode(t, bytes, text.size());
    const auto stopped = std::chrono::steady_clock::now();
    if (ids.empty() && !text.empty()) std::abort();
    return std::chrono::duration<double>(stopped - started).count();
  };
  seconds(a);
  seconds(b);
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    ta.push_back(seconds(a));
    tb.push_back(seconds(b));
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

std::string random_letters(size_t bytes) {
  std::mt19937 rng(1);
  std::string s(bytes, 'a');
  for (char& c : s) c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
  return s;
}

std::string repeated(const std::string& unit, size_t bytes, const std::string& tail) {
  std::string s;
  s.reserve(bytes + unit.size() + tail.size());
  while (s.size() + unit.size() <= bytes) s += unit;
  return s + tail;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path stdlib = argc > 1 ? fs::path(argv[1]) : fs::path(python_stdlib());
  constexpr size_t kCorpusBytes = 4u << 20;
  const struct {
    const char* name;
    std::string text;
  } corpora[] = {
      {"prose", corpus("/usr/share/common-licenses", "", kCorpusBytes)},
      {"code", stdlib.empty() ? std::string() : corpus(stdlib, ".py", kCorpusBytes)},
      {"cjk", stdlib.empty() ? std::string()
                             : corpus(stdlib / "test" / "cjkencodings", "-utf8.txt", kCorpusBytes)},
  };
  using tessel::SplitMode;
  using tessel::SplitRules;
  const struct {
    const char* name;
    SplitRules rules;
    SplitMode mode;
  } splitters[] = {{"cl100k", SplitRules::cl100k, SplitMode::classic},
                   {"cl100k exact", SplitRules::cl100k, SplitMode::exact},
                   {"o200k", SplitRules::o200k, SplitMode::classic},
                   {"o200k exact", SplitRules::o200k, SplitMode::exact}};

  uint64_t sink = 0;
  std::printf("Splitter throughput in MB/s (walk only, 4 MiB corpora, medians of 9 interleaved\n"
              "runs): full rules alone, with the ASCII fast path, and their ratio\n");
  std::printf("%-13s %-6s %10s %10s %7s %10s\n", "splitter", "corpus", "full", "fast", "ratio",
              "pieces/MB");
  for (const auto& s : splitters) {
    const tessel::PieceSplitter fast = tessel::piece_splitter(s.rules, s.mode);
    const tessel::PieceSplitter full = tessel::full_rules_splitter(s.rules, s.mode);
    for (const auto& c : corpora) {
      if (c.text.empty()) {
        std::printf("%-13s %-6s %10s\n", s.name, c.name, "missing");
        continue;
      }
      uint64_t pieces = 0;
      walk_seconds(fast, c.text, pieces);
      const auto [t_full, t_fast] = interleaved_medians(full, fast, c.text, 9, sink);
      const double mb = c.text.size() / 1e6;
      std::printf("%-13s %-6s %10.1f %10.1f %7.2f %10.0f\n", s.name, c.name, mb / t_full,
                  mb / t_fast, t_full / t_fast, pieces / mb);
    }
  }

  std::printf("\nEncode (tokenizer_encode) in MB/s, same model, medians of 7 interleaved runs:\n"
              "full rules alone, with the ASCII fast path, and their ratio\n");
  std::printf("%-13s %-6s %10s %10s %7s\n", "splitter", "corpus", "full", "fast", "ratio");
  for (const auto& s : splitters) {
    const auto encoding = s.rules == SplitRules::cl100k ? tessel::BuiltinEncoding::cl100k_base
                                                        : tessel::BuiltinEncoding::o200k_base;
    const tessel::TokenizerModel& fast = tessel::builtin_tokenizer(encoding, s.mode);
    const tessel::TokenizerModel full{fast.model, tessel::full_rules_splitter(s.rules, s.mode)};
    for (const auto& c : corpora) {
      if (c.text.empty()) continue;
      const auto [t_full, t_fast] = interleaved_encode_medians(full, fast, c.text, 7);
      const double mb = c.text.size() / 1e6;
      std::printf("%-13s %-6s %10.1f %10.1f %7.2f\n", s.name, c.name, mb / t_full, mb / t_fast,
                  t_full / t_fast);
    }
  }

  const struct {
    const char* name;
    std::string unit;
    std::string tail;
  } huge[] = {
      {"letter a", "a", ""},
      {"letter A", "A", "!"},
      {"a then \u00e9", "a", "\xC3\xA9"},
      {"random a-Z", "", ""},
      {"punct !?", "!?", ""},
      {"spaces", " ", "x"},
      {"\\n \\n ...", "\n ", "x"},
      {"cjk U+4E2D", "\xE4\xB8\xAD", ""},
  };
  std::printf("\nSingle huge pieces (fast path on, median of 5 runs): ms at 1 MiB and 4 MiB\n");
  std::printf("%-13s %-12s %10s %10s %8s\n", "splitter", "input", "1 MiB", "4 MiB", "ratio");
  for (const auto& s : splitters) {
    const tessel::PieceSplitter fast = tessel::piece_splitter(s.rules, s.mode);
    for (const auto& h : huge) {
      const bool random = h.unit.empty();
      const std::string small = random ? random_letters(1u << 20) : repeated(h.unit, 1u << 20, h.tail);
      const std::string large = random ? random_letters(4u << 20) : repeated(h.unit, 4u << 20, h.tail);
      const double t1 = median_seconds(fast, small, 5, sink) * 1e3;
      const double t4 = median_seconds(fast, large, 5, sink) * 1e3;
      std::printf("%-13s %-12s %10.2f %10.2f %8.2f\n", s.name, h.name, t1, t4, t4 / t1);
    }
  }
  std::fprintf(stderr, "(%llu pieces walked)\n", static_cast<unsigned long long>(sink));
  return 0;
}
