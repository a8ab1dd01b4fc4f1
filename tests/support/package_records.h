// Small builders for package records in planning and scheduling tests, and a
// capture of standard output for comparing console text byte for byte.
#pragma once

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "records/package.h"
#include "records/repository.h"

namespace testing_support {

// "7.1" style final versions.
constexpr installer::Version ver(unsigned major, unsigned minor, unsigned number = 0) {
  return installer::makeVersion(major, minor, installer::kStageFinal, number);
}

inline installer::Dependency dep(std::string name, installer::Version min = 0,
                                 installer::Version max = 0, std::int32_t priority = 0) {
  return installer::Dependency{std::move(name), min, max, priority};
}

template <typename Record = installer::Package>
Record record(std::string name, installer::Version version, std::uint32_t buildTime = 100) {
  Record r(std::move(name));
  r.version = version;
  r.buildTime = buildTime;
  return r;
}

// Appends an enabled record to the repository and returns it for tuning.
inline installer::InstalledPackage& addRecord(installer::Repository& repo, std::string name,
                                              installer::Version version,
                                              std::uint32_t buildTime = 100) {
  auto r = std::make_unique<installer::InstalledPackage>(std::move(name));
  r->version = version;
  r->buildTime = buildTime;
  repo.packages.push_back(std::move(r));
  return *repo.packages.back();
}

// Collects everything written to std::cout while it lives.
class StdoutCapture {
 public:
  StdoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~StdoutCapture() { std::cout.rdbuf(old_); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

}  // namespace testing_support
