#include "model/image_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tessel {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool read_fully(int fd, uint64_t offset, void* out, size_t length) {
  auto* p = static_cast<uint8_t*>(out);
  while (length != 0) {
    const ssize_t got = ::pread(fd, p, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

class FileSource final : public ImageSource {
 public:
  FileSource(int fd, uint64_t size) : ImageSource(size), fd_(fd) {}
  bool read_at(uint64_t offset, void* out, size_t length) override {
    return read_fully(fd_, offset, out, length);
  }

 private:
  int fd_;
};

}  // namespace

ImageLoad model_from_image_file(const char* path, const ImageExpectation& expected) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
  // Symbolic links are followed: what they lead to is checked like any file.
  FileDescriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return ImageLoad{nullptr, "cannot be opened"};
  struct stat info;
  if (::fstat(file.get(), &info) != 0) return ImageLoad{nullptr, "cannot be examined"};
  if (!S_ISREG(info.st_mode)) return ImageLoad{nullptr, "not a regular file"};
  if (info.st_size <= 0) return ImageLoad{nullptr, "empty"};
  FileSource source(file.get(), static_cast<uint64_t>(info.st_size));
  return model_from_image(expected, source);
}

bool make_directories(const std::string& directory) {
  if (directory.empty()) return false;
  struct stat info;
  if (::stat(directory.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const size_t slash = directory.find_last_of('/', directory.size() - 2);
  if (slash != std::string::npos && slash != 0 && !make_directories(directory.substr(0, slash))) {
    return false;
  }
  if (::mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST) {
    return ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  return false;
}

PendingImageFile::PendingImageFile(const std::string& directory, const std::string& name) {
  final_ = directory;
  if (!final_.empty() && final_.back() != '/') final_ += '/';
  std::string path_template = final_ + "." + name + ".XXXXXX";
  final_ += name;
  fd_ = ::mkostemp(path_template.data(), O_CLOEXEC);
  if (fd_ >= 0) temporary_ = std::move(path_template);
}

PendingImageFile::~PendingImageFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temporary_.c_str());
}

bool PendingImageFile::write(const void* bytes, size_t size) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (size != 0) {
    const ssize_t put = ::write(fd_, p, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool PendingImageFile::read_at(uint64_t offset, void* out, size_t length) {
  return fd_ >= 0 && read_fully(fd_, offset, out, length);
}

bool PendingImageFile::commit() {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  // A late write error shows at close.
  const bool closed = ::close(fd) == 0;
  if (closed && ::rename(temporary_.c_str(), final_.c_str()) == 0) return true;
  ::unlink(temporary_.c_str());
  return false;
}

bool write_image_file_atomically(const BytePairEncoding& model, const std::string& directory,
                                 const std::string& name) {
  PendingImageFile file(directory, name);
  return write_model_image(model, file) && file.commit();
}

}  // namespace tessel
