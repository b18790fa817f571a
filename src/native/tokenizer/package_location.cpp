#include "tokenizer/package_location.hpp"

#include <atomic>

namespace tessel {

namespace {
std::atomic<PackageFileLocator> g_locator{nullptr};
}  // namespace

void set_package_file_locator(PackageFileLocator locator) { g_locator.store(locator); }

std::string locate_package_file() {
  const PackageFileLocator locator = g_locator.load();
  return locator != nullptr ? locator() : std::string();
}

}  // namespace tessel
