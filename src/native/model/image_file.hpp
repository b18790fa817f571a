#pragma once

// Model images as files: read without ever blocking on what is not a regular file, and
// written so that readers see either no file or a complete one.

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/byte_pair_encoding.hpp"
#include "model/image_writer.hpp"
#include "model/model_image.hpp"

namespace tessel {

// The model of the image file at path; a missing, empty, unreadable or non-regular file
// (a FIFO, a device, a directory) is a rejection. Throws std::bad_alloc only.
ImageLoad model_from_image_file(const char* path, const ImageExpectation& expected);

// Creates the directory and its missing parents (mode 0700); true when it exists after.
bool make_directories(const std::string& directory);

// A file written under a temporary name in its directory and renamed to its final name by
// commit(), so that readers see either no file or a complete one; removed when destroyed
// uncommitted (which also makes it scratch space that leaves nothing behind).
class PendingImageFile final : public ImageSink {
 public:
  PendingImageFile(const std::string& directory, const std::string& name);
  PendingImageFile(const PendingImageFile&) = delete;
  PendingImageFile& operator=(const PendingImageFile&) = delete;
  ~PendingImageFile();

  // Whether the temporary file could be made; writing to a closed one fails.
  bool is_open() const { return fd_ >= 0; }
  bool write(const void* bytes, size_t size) override;
  // Reads back [offset, offset + length) of what was written.
  bool read_at(uint64_t offset, void* out, size_t length);
  // Closes the file and renames it into place; false (and no file left) on any failure.
  bool commit();

 private:
  int fd_ = -1;
  std::string temporary_;
  std::string final_;
};

// Writes the model's image (a kImage model) to directory/name through a temporary file in
// the same directory and a rename, so that processes racing to write the same image each
// leave a complete one. False, and no file left behind, on any failure.
bool write_image_file_atomically(const BytePairEncoding& model, const std::string& directory,
                                 const std::string& name);

}  // namespace tessel
