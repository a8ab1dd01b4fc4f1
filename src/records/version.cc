#include "records/version.h"

#include <cstdio>

namespace installer {

std::string versionText(Version v) {
  const unsigned major = v >> 24;
  const unsigned minor = (v >> 16) & 0xFF;
  const unsigned stage = (v >> 8) & 0xFF;
  const unsigned number = v & 0xFF;
  char text[80];
  if (stage == kStageFinal) {
    if (number == 0) {
      std::snprintf(text, sizeof text, "%u.%u", major, minor);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
    }
  } else {
    const char* suffix = stage == kStageAlpha       ? "alpha"
                         : stage == kStageBeta      ? "beta"
                         : stage == kStageCandidate ? "rc"
                                                    : "";
    if (number == 0) {
      std::snprintf(text, sizeof text, "%u.%u%s", major, minor, suffix);
    } else {
      std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, suffix, number);
    }
  }
  return text;
}

}  // namespace installer
