#include "tokenizer/image_locations.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "tokenizer/package_location.hpp"

namespace tessel {

namespace {

// Longest path the image lookup builds, terminator included.
constexpr size_t kMaxImagePath = 4095;

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::string> image_path_beside(std::string_view package_file,
                                             std::string_view name) {
  const size_t separator = package_file.find_last_of("/\\");
  const std::string_view directory = separator == std::string_view::npos
                                         ? std::string_view()
                                         : package_file.substr(0, separator + 1);
  if (directory.size() + name.size() + 1 > kMaxImagePath) return std::nullopt;
  std::string path(directory);
  path.append(name);
  return path;
}

std::optional<std::string> image_file_path(std::string_view name) {
  const std::string package_file = locate_package_file();
  if (package_file.empty()) return std::nullopt;
  return image_path_beside(package_file, name);
}

std::optional<std::string> image_cache_directory() {
  if (const auto chosen = environment("TESSEL_CACHE_DIR")) {
    if (chosen->empty()) return std::nullopt;
    return chosen;
  }
  // The XDG base directory rules ignore a relative $XDG_CACHE_HOME.
  if (const auto xdg = environment("XDG_CACHE_HOME"); xdg && !xdg->empty() && (*xdg)[0] == '/') {
    return *xdg + "/tessel";
  }
  if (const auto home = environment("HOME"); home && !home->empty()) {
    return *home + "/.cache/tessel";
  }
  return std::nullopt;
}

std::string cached_image_name(std::string_view encoding_name, ImageDigest digest) {
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), "-%016" PRIx64 ".bin", digest);
  return std::string(encoding_name) + suffix;
}

}  // namespace tessel
