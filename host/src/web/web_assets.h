#pragma once

#include <cstddef>
#include <string>

namespace qmx::web {

// A file of the page (web/), built into the binary.
struct Asset {
  const char* path;  // "/index.html", "/vendor/uplot/uPlot.iife.min.js"
  const char* type;  // Content-Type
  const unsigned char* data;
  size_t size;
};

// The asset at exactly this path, or null: nothing outside the built-in set
// can be named, so no path reaches the file system.
const Asset* FindAsset(const std::string& path);

}  // namespace qmx::web
