#pragma once

// Building a model and writing its image file in the same step, for the first process that
// needs a model no image holds yet.

#include <memory>
#include <string>

#include "model/byte_pair_encoding.hpp"
#include "model/model_image.hpp"

namespace tessel {

// The model build_model makes from the vocabulary (ModelTables::kEncoding), having also
// written its image to directory/name when the image's digest is vocab.digest (the file
// appears complete or not at all; a directory that cannot be written is skipped).
//
// The image holds tables the model does not keep, above all two automata. They are made
// one at a time, each written out and freed before the next, so that memory peaks at one
// automaton under construction instead of the model plus all of its image's tables:
// automaton 2 first, alone, parked in a scratch file; then the model; then automata 0
// and 1 from the model's packed steps. The peak of a first use that fills the cache went
// from 78 to 33 MB (cl100k_base) and from 169 to 74 MB (o200k_base), and its CPU time from
// 1.02 to 0.87 s and from 2.45 to 2.10 s (bench/bench_first_use.py, medians of 7 runs
// alternating with the former code on a loaded 2-core machine); what peak remains is that
// of building the reverse automaton alone. On an idle machine the wall time may grow:
// that build no longer runs beside the model's on a second core. Since the model keeps no
// stored token table (the whole-token index answers for it) and the image's copy is made
// only while its section is written, the peak is 29.8 MB (was 38.1) and 57.9 MB (was
// 74.7), same benchmark, runs of 5 in quiet windows. Throws std::bad_alloc, leaving no
// file.
std::unique_ptr<BytePairEncoding> build_model_writing_image(const ImageExpectation& vocab,
                                                            const std::string& directory,
                                                            const std::string& name);

}  // namespace tessel
