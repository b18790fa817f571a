#pragma once

// Model images as files: read without ever blocking on what is not a regular file, and
// written so that readers see either no file or a complete one.

#include <string>

#include "model/byte_pair_encoding.hpp"
#include "model/model_image.hpp"

namespace tessel {

// The model of the image file at path; a missing, empty, unreadable or non-regular file
// (a FIFO, a device, a directory) is a rejection. Throws std::bad_alloc only.
ImageLoad model_from_image_file(const char* path, const ImageExpectation& expected);

// Creates the directory and its missing parents (mode 0700); true when it exists after.
bool make_directories(const std::string& directory);

// Writes the model's image (a kImage model) to directory/name through a temporary file in
// the same directory and a rename, so that processes racing to write the same image each
// leave a complete one. False, and no file left behind, on any failure.
bool write_image_file_atomically(const BytePairEncoding& model, const std::string& directory,
                                 const std::string& name);

}  // namespace tessel
