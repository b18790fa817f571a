#pragma once

// Gates that keep pieces away from a table while the table seldom holds them. They work
// on one call's text, in the offsets of its pieces.

#include <algorithm>
#include <cstdint>

namespace tessel {

// How long a table is left out after a window of lookups that found too little: 64 KiB of
// text, twice as long after each such window in a row, up to 1 MiB. The stretch is counted
// in bytes, so that prose after a blob soon has its table back. Each try costs a window of
// lookups that mostly miss cache: with 64 KiB every time, 1 MiB of base64 or of
// o200k_base's random letters made 8,192 lookups of the memo, against 2,560 now. Against
// 64 KiB every time, alternating in one process (medians of 21, through tessel.get_encoding's
// core; cl100k_base / o200k_base), 1 MiB of random letters 0.97x / 1.22x as fast (twice),
// base64 1.00-1.03x / 1.03-1.08x, punctuation 0.97x / 0.98x (cl100k_base's random letters
// and punctuation are one piece each, which no gate sees); English, code, package docs and
// multilingual text 0.98-1.05x.
class LeftOutStretches {
 public:
  bool admits(uint64_t at) const { return at >= until_; }
  void window_ended(bool found_enough, uint64_t at) {
    if (found_enough) {
      next_ = kLeast;
      return;
    }
    until_ = at + next_;
    next_ = std::min(2 * next_, kMost);
  }

 private:
  static constexpr uint64_t kLeast = 64 * 1024;
  static constexpr uint64_t kMost = 1024 * 1024;
  uint64_t next_ = kLeast;
  uint64_t until_ = 0;
};

// Whether pieces of ASCII go to the memo. Those of random letters, base64 or hex are seldom
// remembered, and each costs the memo a probe and an entry written, both likely cache
// misses, where their parts merge for less. So after a window of such lookups that found
// less than a third, the memo leaves them out for a stretch of text (LeftOutStretches),
// then tries again. Prose meets the memo about once in 140 bytes, so a stretch counted in
// pieces would have kept it out for megabytes. On the benchmark corpora the gate closed
// once, on code with cl100k_base. Against the memo for every piece, alternating in one
// process (cl100k_base / o200k_base): through tessel.get_encoding's core (medians of
// 11-21), 1 MiB of base64 1.28x / 1.26x as fast, of random letters 0.99x / 1.38x
// (cl100k_base keeps them as one piece, which never meets the memo), punctuation 0.97x /
// 0.99x; English, code, package docs and multilingual text 0.97-1.01x. Natively (medians of
// 7), base64 1.26x / 1.24x, random letters 1.01x / 1.47x. What the misses cost varies with
// the machine's memory traffic: without the gate, o200k_base's random letters went at 61
// MB/s early in one session and at 34-40 MB/s later in it, where without the memo they kept
// to 48-58 MB/s.
class MemoGate {
 public:
  // Whether the piece at text offset `at` goes to the memo (it then reports with looked_up).
  bool admits(uint64_t at) const { return left_out_.admits(at); }
  void looked_up(bool found, uint64_t at) {
    found_ += found;
    if (++lookups_ < kWindow) return;
    left_out_.window_ended(3 * found_ >= lookups_, at);
    lookups_ = found_ = 0;
  }

 private:
  static constexpr uint32_t kWindow = 512;
  LeftOutStretches left_out_;
  uint32_t lookups_ = 0, found_ = 0;
};

// Whether ASCII pieces go to the whole-token index. Those of random letters, which
// o200k_base splits at every change of case, are seldom whole tokens (19% of them, against
// 91-97% of English and code's and 61-66% of base64's), and each probe of the index is
// likely a cache miss, where a piece that is a token merges into it for little more. So
// when a window of kWindow misses took fewer than 1.5 times as many lookups (less than a
// third found), the index leaves ASCII pieces out for a stretch of text. The window is
// counted in misses, so that a lookup that finds its token costs one addition and no
// branch; counting windows of lookups, as the memo's gate does, took 0.99-1.03x this gate's
// time on English, code, package docs and multilingual text, about the noise of such a run
// (an A/A run of one build: 0.97-1.00x). Hits of pieces that are not ASCII count too: they
// only make the gate more reluctant. Against the index for every piece, alternating in one
// process (cl100k_base / o200k_base): through tessel.get_encoding's core (medians of 11), 1
// MiB of random letters 1.00x / 1.13-1.21x as fast (cl100k_base keeps them as one piece),
// base64 and punctuation 1.01-1.04x; English, code, package docs and multilingual text
// within the noise (medians of 21). Natively, o200k_base's random letters 1.15x. Leaving
// out the index slot's prefetch too gained nothing.
class IndexGate {
 public:
  bool admits(uint64_t at) const { return left_out_.admits(at); }
  void found() { ++lookups_; }
  void missed(uint64_t at) {
    ++lookups_;
    if (++misses_ < kWindow) return;
    left_out_.window_ended(2 * lookups_ >= 3 * misses_, at);
    lookups_ = misses_ = 0;
  }

 private:
  static constexpr uint32_t kWindow = 256;
  LeftOutStretches left_out_;
  uint64_t lookups_ = 0;
  uint32_t misses_ = 0;
};

}  // namespace tessel
