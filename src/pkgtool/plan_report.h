// What `pkgtool plan` says an upgrade run would do: the decisions read off
// the repository before and after a run on a planning manifest, and the
// reasons the run printed for the package files it left out.
#pragma once

#include <string>
#include <vector>

#include "records/repository.h"
#include "upgrade/driver.h"

namespace installer {

// The state of one record before the run, by value: records the run takes
// out are destroyed, so no pointer to them would stay meaningful.
struct RecordState {
  std::string name;
  Version version = 0;
  std::uint32_t buildTime = 0;
  bool disabled = false;
};
std::vector<RecordState> snapshot(const Repository& repo);

// One line of the plan: "upgrade", "install", "downgrade", "reinstall",
// "uninstall", "disable", "enable", "refused", "omitted" or "skipped", what
// it applies to, and details.
struct Decision {
  std::string action;
  std::string subject;
  std::string detail;
};

// The changes a successful run makes: installs from package files (each
// package installed, bundle members included, by name), then removals and
// state changes of the records that were there before.
std::vector<Decision> changes(const std::vector<RecordState>& before, const Repository& after,
                              const std::vector<Package>& installed);

// The package files the run did not install, each with the first message
// that names it (planning's "omitting package ..." or the refusal of the
// acceptance check).
std::vector<Decision> leftOut(const UpgradeTrace& trace, const std::vector<Package>& installed,
                              const std::vector<std::string>& messages);

}  // namespace installer
