// Small builders for package records in planning and scheduling tests, and a
// capture of standard output for comparing console text byte for byte.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "console/run_output.h"
#include "records/package.h"
#include "records/repository.h"
#include "support/versions.h"

namespace testing_support {

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

// Collects what the console writes for `output` while it lives: the way
// tests capture the output of a run.
class OutputCapture {
 public:
  explicit OutputCapture(installer::RunOutput& output) : output_(output), old_(output.stream) {
    output.stream = &buffer_;
  }
  ~OutputCapture() { output_.stream = old_; }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string text() const { return buffer_.str(); }
  // What was written since the last call.
  std::string take() {
    std::string text = buffer_.str();
    buffer_.str("");
    return text;
  }

 private:
  installer::RunOutput& output_;
  std::ostream* old_;
  std::ostringstream buffer_;
};

}  // namespace testing_support
