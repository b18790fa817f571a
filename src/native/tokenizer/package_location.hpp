#pragma once

#include <string>

namespace tessel {

// Returns the text of the installed package's __file__ (UTF-8), or "" when it cannot be
// found. The Python layer provides it; the core itself never calls into Python.
using PackageFileLocator = std::string (*)();

void set_package_file_locator(PackageFileLocator locator);

// The locator's answer, or "" when none is set.
std::string locate_package_file();

}  // namespace tessel
