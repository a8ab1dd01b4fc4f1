// Counts in the package tool's messages: "1 file", "2 files".
#pragma once

#include <cstdint>
#include <string>

namespace installer {

inline std::string counted(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace installer
