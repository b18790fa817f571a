// Model images: format, round trip, rejection of every image that is not exactly the
// built model, files that are not regular, atomic writing, lookup.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "model/backtrack_encoder.hpp"
#include "model/build_with_image.hpp"
#include "model/image_file.hpp"
#include "model/image_writer.hpp"
#include "model/model_image.hpp"
#include "support/model_fixtures.hpp"
#include "tokenizer/image_locations.hpp"
#include "tokenizer/package_location.hpp"

namespace tessel {
namespace {

void put_u32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_u32(const std::vector<uint8_t>& image, size_t offset) {
  return image[offset] | image[offset + 1] << 8 | image[offset + 2] << 16 |
         static_cast<uint32_t>(image[offset + 3]) << 24;
}

ImageExpectation expectation(const EmbeddedVocab& v) {
  return {v.token_bytes, v.token_starts, v.token_count,
          model_image_digest(testing::built_model(v))};
}

std::unique_ptr<BytePairEncoding> load(const EmbeddedVocab& v, const std::vector<uint8_t>& image) {
  ImageLoad result = model_from_image(expectation(v), image.data(), image.size());
  EXPECT_EQ(result.model == nullptr, result.rejection != nullptr);
  return std::move(result.model);
}

struct ImageFigures {
  const EmbeddedVocab* vocab;
  size_t size;
  uint32_t capacity, pairs, s0, s2, outputs;
};

class BuiltinImage : public ::testing::TestWithParam<ImageFigures> {};

TEST_P(BuiltinImage, RoundTripsSlotForSlot) {
  const ImageFigures& f = GetParam();
  const BytePairEncoding& built = testing::built_model(*f.vocab);
  const std::vector<uint8_t> image = serialize_model_image(built);
  ASSERT_EQ(image.size(), f.size);
  EXPECT_EQ(image_size_from_header(image.data(), image.size()), f.size);
  EXPECT_EQ(get_u32(image, 0), f.vocab->token_count);
  EXPECT_EQ(get_u32(image, 12), f.capacity);
  EXPECT_EQ(get_u32(image, 16), f.vocab->token_count);
  EXPECT_EQ(get_u32(image, 20), f.capacity);
  EXPECT_EQ(get_u32(image, 24), f.pairs);
  EXPECT_EQ(get_u32(image, 28), f.s0);
  EXPECT_EQ(get_u32(image, 40), f.s0);
  EXPECT_EQ(get_u32(image, 52), f.s2);
  for (size_t offset : {32, 44, 56}) EXPECT_EQ(get_u32(image, offset), f.outputs);
  for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(get_u32(image, 36 + 12 * k), k);

  const auto loaded = load(*f.vocab, image);
  ASSERT_NE(loaded, nullptr);
  // Only what encoding reads is kept.
  EXPECT_EQ(loaded->forward_automaton, nullptr);
  EXPECT_EQ(loaded->reverse_automaton, nullptr);
  testing::expect_same_encoding_tables(built, *loaded);
  std::mt19937_64 rng(9);
  for (const std::string& text : testing::real_texts()) {
    const std::string part = text.substr(0, 20000);
    ASSERT_EQ(backtrack_encode(*loaded, testing::bytes_of(part), part.size()),
              backtrack_encode(built, testing::bytes_of(part), part.size()));
  }
  for (int i = 0; i < 100; ++i) {
    const std::string s = testing::random_bytes(rng, rng() % 100);
    ASSERT_EQ(backtrack_encode(*loaded, testing::bytes_of(s), s.size()),
              backtrack_encode(built, testing::bytes_of(s), s.size()));
  }
}

TEST_P(BuiltinImage, RejectsImagesThatDoNotFit) {
  const EmbeddedVocab& vocab = *GetParam().vocab;
  const std::vector<uint8_t> good = serialize_model_image(testing::built_model(vocab));
  const uint32_t n = vocab.token_count;
  const size_t merge_left = kImageHeaderSize, merge_right = merge_left + 4 * n;
  const size_t prefixes = merge_right + 4 * n, hash_table = prefixes + 4 * n;
  const size_t pair_table = hash_table + 8 * get_u32(good, 12);
  const size_t states = pair_table + 12 * get_u32(good, 20);
  const uint32_t s0 = get_u32(good, 28);
  const size_t outputs = states + 16 * s0, base = outputs + 12 * get_u32(good, 32);
  const size_t check = base + 4 * s0;
  // The state that spells "X": base[0] + 'X'. Its token made that of "Y", which has the
  // same length, passes every structural check and turned "Xylophone" into "Yylophone".
  const uint32_t x_state = get_u32(good, base) + 'X';
  const uint32_t y_token = get_u32(good, states + 16 * (get_u32(good, base) + 'Y') + 8);
  const size_t first_pair = [&] {
    size_t at = pair_table;
    while (get_u32(good, at + 8) == kNoToken) at += 12;
    return at;
  }();

  EXPECT_EQ(model_from_image(expectation(vocab), nullptr, 0).model, nullptr);
  const std::vector<uint8_t> header_only(good.begin(), good.begin() + kImageHeaderSize);
  EXPECT_EQ(load(vocab, header_only), nullptr);
  EXPECT_EQ(load(vocab, std::vector<uint8_t>(good.begin(), good.end() - 1)), nullptr);
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_EQ(load(vocab, longer), nullptr);
  const EmbeddedVocab& other =
      &vocab == &embedded_cl100k_base ? embedded_o200k_base : embedded_cl100k_base;
  EXPECT_EQ(load(other, good), nullptr);

  struct Corruption {
    const char* what;
    size_t offset;
    uint32_t value;
  };
  const Corruption corruptions[] = {
      {"token hash capacity not a power of two", 12, get_u32(good, 12) - 1},
      {"pair capacity of zero", 20, 0},
      {"merge half outside the vocabulary", merge_left + 4 * 300, n},
      {"merge half that is a later token", merge_right + 4 * 300, 301},
      {"merge halves that do not spell the token", merge_left + 4 * 300, 5},
      {"prefix outside the vocabulary", prefixes + 4 * 300, n + 7},
      {"prefix that is not shorter", prefixes + 4 * 300, 300},
      {"pair slot merging into no token", pair_table + 12 * 0 + 8, n + 1},
      {"failure link outside the states", states + 16 * 300, s0},
      {"failure link to a deeper state", states + 16 * 300, 300},
      {"output link outside the outputs", states + 16 * 300 + 4, get_u32(good, 32)},
      {"depth out of line with the parent", states + 16 * 300 + 12, 77},
      {"base that reaches past the arrays", base + 4 * 0, s0 - 255},
      {"negative base", base + 4 * 0, 0xFFFFFFFFu},
      {"state token of another token of the same length", states + 16 * x_state + 8, y_token},
      {"base of a state moved by one", base + 4 * x_state, get_u32(good, base + 4 * x_state) + 1},
      {"check naming another parent", check + 4 * x_state, 1},
      {"pair with another left half", first_pair, get_u32(good, first_pair) ^ 1},
      {"pair with another right half", first_pair + 4, get_u32(good, first_pair + 4) ^ 1},
      {"hash multiplier", 4, get_u32(good, 4) ^ 1},
  };
  for (const Corruption& c : corruptions) {
    std::vector<uint8_t> bad = good;
    if (get_u32(bad, c.offset) == c.value) continue;  // not a corruption at this spot
    put_u32(bad, c.offset, c.value);
    EXPECT_EQ(load(vocab, bad), nullptr) << c.what;
  }
  // The token hash table and automata 1 and 2 are never read: damage there changes no id.
  for (const size_t offset : {hash_table + 4, good.size() - 5}) {
    std::vector<uint8_t> unread = good;
    unread[offset] ^= 0x40;
    EXPECT_NE(load(vocab, unread), nullptr) << offset;
  }
}

// A token of more than 65,535 bytes keeps the whole-token index from being made; the
// model read from an image then needs the stored token table, which images are no longer
// read for, made again from the vocabulary (without it, the lookup read an empty table).
TEST(ImageOfAVocabularyWithAVeryLongToken, FindsEveryWholeToken) {
  std::vector<std::string> doublings{"aa"};
  while (doublings.back().size() <= 65535) doublings.push_back(doublings.back() + doublings.back());
  const testing::Vocabulary vocab = testing::bytes_then(doublings);
  const auto built = build_model(vocab.bytes.data(), vocab.starts.data(), vocab.size(),
                                 ModelTables::kImage);
  const std::vector<uint8_t> image = serialize_model_image(*built);
  const ImageExpectation expected{vocab.bytes.data(), vocab.starts.data(), vocab.size(),
                                  model_image_digest(*built)};
  const ImageLoad load = model_from_image(expected, image.data(), image.size());
  ASSERT_NE(load.model, nullptr) << load.rejection;
  for (uint32_t t = 0; t < vocab.size(); ++t) {
    ASSERT_EQ(whole_token(*load.model, vocab.bytes.data() + vocab.starts[t],
                          vocab.starts[t + 1] - vocab.starts[t]),
              t);
  }
}

std::filesystem::path temp_package();
size_t files_in(const std::filesystem::path& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                           std::filesystem::directory_iterator()));
}

// The first process that needs a model writes its image while building it, one automaton
// at a time, partly from tables recovered from the packed steps: the file must be the
// image of the full build, byte for byte, and the model the built one.
TEST_P(BuiltinImage, WrittenWhileBuildingIsTheSameImage) {
  const EmbeddedVocab& v = *GetParam().vocab;
  const BytePairEncoding& built = testing::built_model(v);
  const auto dir = temp_package() / v.name;
  std::filesystem::create_directories(dir);
  const auto model = build_model_writing_image(expectation(v), dir.string(), "image.bin");
  testing::expect_same_encoding_tables(built, *model);
  EXPECT_EQ(files_in(dir), 1u);  // no scratch or temporary file left
  const std::string written = testing::read_file((dir / "image.bin").string());
  const std::vector<uint8_t> image = serialize_model_image(built);
  ASSERT_EQ(written.size(), image.size());
  EXPECT_EQ(std::memcmp(written.data(), image.data(), image.size()), 0);

  // An image whose digest is not the expected one is not written; the model still is.
  std::filesystem::remove(dir / "image.bin");
  ImageExpectation other = expectation(v);
  other.digest ^= 1;
  testing::expect_same_encoding_tables(
      built, *build_model_writing_image(other, dir.string(), "image.bin"));
  EXPECT_EQ(files_in(dir), 0u);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Vocabularies, BuiltinImage,
    ::testing::Values(ImageFigures{&embedded_cl100k_base, 45135140, 524288, 100000, 433500, 376208, 100257},
                      ImageFigures{&embedded_o200k_base, 94592628, 1048576, 199742, 843322, 980902, 199999}),
    [](const auto& info) { return std::string(info.param.vocab->name); });

TEST(ImageFile, PathBesideThePackage) {
  EXPECT_EQ(image_path_beside("/site/tessel/__init__.py", "x.bin"), "/site/tessel/x.bin");
  EXPECT_EQ(image_path_beside("C:\\site\\tessel\\__init__.py", "x.bin"), "C:\\site\\tessel\\x.bin");
  EXPECT_EQ(image_path_beside("__init__.py", "x.bin"), "x.bin");
  const std::string fits(4095 - 1 - 5 - 1, 'd');
  EXPECT_TRUE(image_path_beside(fits + "/f.py", "x.bin").has_value());
  EXPECT_FALSE(image_path_beside(fits + "d/f.py", "x.bin").has_value());
}

std::filesystem::path temp_package() {
  const auto dir = std::filesystem::temp_directory_path() / ("tessel_image_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string g_package_file;
std::string locate_test_package() { return g_package_file; }

TEST(ImageFile, ReadsRegularFilesOnlyAndWritesAtomically) {
  const EmbeddedVocab& v = embedded_cl100k_base;
  const BytePairEncoding& built = testing::built_model(v);
  const std::vector<uint8_t> image = serialize_model_image(built);
  const auto dir = temp_package();
  write_file(dir / "empty.bin", {});
  write_file(dir / "short.bin", std::vector<uint8_t>(image.begin(), image.end() - 4));
  ASSERT_EQ(mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
  const auto from_file = [&](const std::filesystem::path& path) {
    return model_from_image_file(path.c_str(), expectation(v));
  };
  alarm(120);  // a read that waits on the FIFO ends the test instead of hanging it
  for (const char* name : {"missing.bin", "empty.bin", "short.bin", "fifo.bin", ""}) {
    EXPECT_NE(from_file(dir / name).rejection, nullptr) << name;
  }
  alarm(0);

  // Written through a temporary file that is gone afterwards, into a directory made on
  // the way; an unwritable place is reported, not thrown.
  const auto cache = dir / "cache" / "tessel";
  ASSERT_TRUE(make_directories(cache.string()));
  ASSERT_TRUE(write_image_file_atomically(built, cache.string(), "image.bin"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache),
                          std::filesystem::directory_iterator()), 1);
  const ImageLoad loaded = from_file(cache / "image.bin");
  ASSERT_NE(loaded.model, nullptr) << loaded.rejection;
  testing::expect_same_encoding_tables(built, *loaded.model);
  EXPECT_FALSE(make_directories((dir / "empty.bin" / "sub").string()));
  EXPECT_FALSE(write_image_file_atomically(built, (dir / "absent").string(), "image.bin"));
  // Building while writing: a model without packed steps gets no image, and a directory
  // that cannot be written only costs the image.
  const testing::Vocabulary small({"a", "b", "ab"});
  const ImageExpectation small_vocab{small.bytes.data(), small.starts.data(), small.size(), 0};
  for (const auto& place : {cache, dir / "absent"}) {
    const auto model = build_model_writing_image(small_vocab, place.string(), "small.bin");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->merge_left[2], 0u);
  }
  EXPECT_EQ(files_in(cache), 1u);

  set_package_file_locator(nullptr);
  EXPECT_FALSE(image_file_path("image.bin").has_value());
  g_package_file = (dir / "__init__.py").string();
  set_package_file_locator(locate_test_package);
  EXPECT_EQ(image_file_path("image.bin"), (dir / "image.bin").string());
  set_package_file_locator(nullptr);
  std::filesystem::remove_all(dir);
}

TEST(ImageFile, CacheDirectoryFromTheEnvironment) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("TESSEL_CACHE_DIR", "/c", 1);
  EXPECT_EQ(image_cache_directory(), "/c");
  setenv("TESSEL_CACHE_DIR", "", 1);
  EXPECT_EQ(image_cache_directory(), std::nullopt);
  unsetenv("TESSEL_CACHE_DIR");
  setenv("XDG_CACHE_HOME", "/x", 1);
  setenv("HOME", "/h", 1);
  EXPECT_EQ(image_cache_directory(), "/x/tessel");
  setenv("XDG_CACHE_HOME", "relative", 1);
  EXPECT_EQ(image_cache_directory(), "/h/.cache/tessel");
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CACHE_HOME");
  setenv("TESSEL_CACHE_DIR", "", 1);
  EXPECT_EQ(cached_image_name("cl100k_base", 0xab), "cl100k_base-00000000000000ab.bin");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in a child process: with the address space capped far below what the model needs,
// the build must fail as a whole with std::bad_alloc.
[[noreturn]] void build_with_little_memory() {
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = 64u << 20;
  setrlimit(RLIMIT_AS, &limit);
  const EmbeddedVocab& v = embedded_o200k_base;
  int code = 1;
  try {
    build_model(v.token_bytes, v.token_starts, v.token_count, ModelTables::kImage);
  } catch (const std::bad_alloc&) {
    code = 0;
  }
  std::exit(code);
}

// Runs in a child process: an encoding run whose buffers do not fit in what is left of
// the address space fails with std::bad_alloc instead of crashing.
[[noreturn]] void encode_with_little_memory() {
  const BytePairEncoding& model = testing::built_model(embedded_cl100k_base);
  const std::string text(64u << 20, 'a');  // more than the build leaves free
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = pages * 4096 + (16u << 20);
  setrlimit(RLIMIT_AS, &limit);
  int code = 1;
  try {
    backtrack_encode(model, testing::bytes_of(text), text.size());
  } catch (const std::bad_alloc&) {
    code = 0;
  }
  std::exit(code);
}

TEST(ExhaustedMemory, BuildAndEncodeFailAsAWholeWithBadAlloc) {
  EXPECT_EXIT(build_with_little_memory(), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(encode_with_little_memory(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace tessel
