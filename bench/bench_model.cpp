// Model benchmark: build time, image load time and memory of each built-in model, and the
// throughput of the bare byte-level encoder on English prose and on single huge inputs.
//   bench_model [ENGLISH_TEXT_FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "data/embedded_vocab.hpp"
#include "model/backtrack_encoder.hpp"
#include "model/model_builder.hpp"
#include "model/image_file.hpp"
#include "model/image_writer.hpp"

using namespace tessel;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
double best_seconds(int runs, F&& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

template <typename T>
size_t bytes_of(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}
template <typename T>
size_t bytes_of(const StaticOrOwnedArray<T>& v) {
  return v.size() * sizeof(T);
}

size_t model_memory(const BytePairEncoding& m) {
  size_t total = sizeof(m) + bytes_of(m.token_bytes) + bytes_of(m.token_starts) +
                 bytes_of(m.token_hash_table) + bytes_of(m.merge_left) + bytes_of(m.merge_right) +
                 bytes_of(m.pair_table) + bytes_of(m.longest_proper_prefix) +
                 bytes_of(m.prefix_steps) + bytes_of(m.pair_filter);
  for (const MatchAutomaton* a : {m.forward_automaton.get(), m.second_forward_automaton.get(),
                                  m.reverse_automaton.get()}) {
    if (a == nullptr) continue;
    total += sizeof(*a) + bytes_of(a->states) + bytes_of(a->outputs) + bytes_of(a->base) +
             bytes_of(a->check);
  }
  return total;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double encode_mb_per_s(const BytePairEncoding& model, const std::string& text, int runs) {
  size_t tokens = 0;
  const double s = best_seconds(runs, [&] {
    tokens = backtrack_encode(model, reinterpret_cast<const uint8_t*>(text.data()), text.size()).size();
  });
  return text.size() / s / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string english = read_file(argc > 1 ? argv[1] : "/usr/share/common-licenses/GPL-3");
  if (english.empty()) {
    std::fprintf(stderr, "bench_model: no English text to read\n");
    return 1;
  }
  std::printf("%-12s %9s %9s %9s %12s %12s %12s %12s %12s\n", "encoding", "build s", "load s",
              "memory MB", "English MB/s", "1MiB 'a' ms", "4MiB 'a' ms", "1MiB rnd ms", "4MiB rnd ms");
  for (const EmbeddedVocab* v : {&embedded_cl100k_base, &embedded_o200k_base}) {
    std::unique_ptr<BytePairEncoding> model;
    const double build = best_seconds(3, [&] {
      model = build_model(v->token_bytes, v->token_starts, v->token_count);
    });
    // Load time covers reading the image file and making the model from it.
    const std::string image_path = std::string("/tmp/tessel_bench_") + v->name + ".bin";
    ImageDigest digest;
    {
      const auto full = build_model(v->token_bytes, v->token_starts, v->token_count,
                                    ModelTables::kImage);
      digest = model_image_digest(*full);
      const std::vector<uint8_t> image = serialize_model_image(*full);
      std::ofstream(image_path, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    const double load = best_seconds(5, [&] {
      const ImageLoad loaded = model_from_image_file(
          image_path.c_str(), {v->token_bytes, v->token_starts, v->token_count, digest});
      if (!loaded.model) std::abort();
    });
    std::remove(image_path.c_str());
    const double english_rate = encode_mb_per_s(*model, english, 5);
    auto huge_ms = [&](size_t size, bool random) {
      std::string text(size, 'a');
      if (random) {
        uint64_t x = 88172645463325252ull;
        for (char& c : text) {
          x ^= x << 13, x ^= x >> 7, x ^= x << 17;
          c = "abcdefghijklmnopqrstuvwxyz"[x % 26];
        }
      }
      return 1e3 * best_seconds(3, [&] {
        backtrack_encode(*model, reinterpret_cast<const uint8_t*>(text.data()), text.size());
      });
    };
    std::printf("%-12s %9.3f %9.3f %9.1f %12.1f %12.1f %12.1f %12.1f %12.1f\n", v->name, build, load,
                model_memory(*model) / 1e6, english_rate, huge_ms(1 << 20, false),
                huge_ms(4 << 20, false), huge_ms(1 << 20, true), huge_ms(4 << 20, true));
  }
  return 0;
}
