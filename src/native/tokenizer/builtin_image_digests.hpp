#pragma once

#include "model/image_digest.hpp"

namespace tessel {

// Digests of the images of the models build_model makes from the embedded vocabularies.
// Generated when the library is built, by the image writer (tools/tessel_write_image).
extern const ImageDigest kCl100kBaseImageDigest;
extern const ImageDigest kO200kBaseImageDigest;

}  // namespace tessel
