#pragma once

// Where the images of the built-in models are looked for, in this order: beside the
// installed package (shipped with it), then in the per-user image cache, which the first
// process that builds a model fills.

#include <optional>
#include <string>
#include <string_view>

#include "model/image_digest.hpp"

namespace tessel {

// The path of the image file `name` in the directory of the package file (the part of
// package_file up to and including its last '/' or '\'), or nothing when the path with
// its terminator would not fit in 4095 bytes.
std::optional<std::string> image_path_beside(std::string_view package_file,
                                             std::string_view name);

// The path of the image file `name` in the installed package's directory (found through
// the locator the Python layer registers); nothing when the package cannot be found.
std::optional<std::string> image_file_path(std::string_view name);

// The per-user image cache: $TESSEL_CACHE_DIR, else $XDG_CACHE_HOME/tessel, else
// ~/.cache/tessel; nothing when TESSEL_CACHE_DIR is set to "" (the cache is off) or no
// home is known. Read from the environment at each call.
std::optional<std::string> image_cache_directory();

// File name of an encoding's image in the cache. It carries the digest, so libraries
// that build different images never read or replace each other's.
std::string cached_image_name(std::string_view encoding_name, ImageDigest digest);

}  // namespace tessel
