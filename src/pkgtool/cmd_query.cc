// pkgtool list, files, owner and info: read-only questions about the
// packages installed under a router root.
#include "pkgtool/installed.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/query.h"
#include "pkgtool/router_root.h"

namespace installer {
namespace {

constexpr char kListUsage[] =
    "usage: pkgtool list [--root DIR] [--json]\n"
    "\n"
    "Lists every package record of the database under DIR (default /): version,\n"
    "build time, state, bundle membership, scheduled action and note.\n";
constexpr char kFilesUsage[] =
    "usage: pkgtool files [--root DIR] [--json] NAME\n"
    "\n"
    "Lists the files package NAME put on the flash (a bundle: its members').\n";
constexpr char kOwnerUsage[] =
    "usage: pkgtool owner [--root DIR] [--json] PATH\n"
    "\n"
    "Names the packages whose file lists hold PATH (as installed, e.g.\n"
    "/flash/bin/tool); exit status 1 when none does.\n";
constexpr char kInfoUsage[] =
    "usage: pkgtool info [--root DIR] [--json] NAME\n"
    "\n"
    "Shows everything the database knows of package NAME.\n";

// The parsed words of a query, with the database of its root loaded.
struct Query {
  Arguments args;
  std::string root = "/";
  Repository repo;
};

// Parses, enters the root and loads it; a status when the query ends there.
std::optional<int> openQuery(const std::vector<std::string>& words, const char* usage,
                             std::size_t positional, ToolContext& context, Query& query) {
  OptionTable table;
  table.withValue = {"--root"};
  table.flags = {"--json"};
  if (auto status = parseCommand(words, table, usage, context, query.args)) return status;
  if (query.args.positional.size() != positional) {
    context.err << usage;
    return kToolUsage;
  }
  query.root = query.args.value("--root").value_or("/");
  std::string error;
  if (!enterRoot(query.root, error) || !loadInstalled(query.repo, error)) {
    return toolError(context, error);
  }
  return std::nullopt;
}

const InstalledPackage* findNamed(const Query& query, ToolContext& context) {
  const std::string& name = query.args.positional[0];
  const InstalledPackage* p = findRecord(query.repo, name);
  if (p == nullptr) toolError(context, name + " is not installed");
  return p;
}

// A path as the database lists it: absolute, without a trailing slash.
std::string listedForm(std::string path) {
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

int runList(const std::vector<std::string>& words, ToolContext& context) {
  Query query;
  if (auto status = openQuery(words, kListUsage, 0, context, query)) return *status;
  context.out << (query.args.has("--json") ? listJson(query.repo, query.root)
                                           : listText(query.repo));
  return kToolOk;
}

int runFiles(const std::vector<std::string>& words, ToolContext& context) {
  Query query;
  if (auto status = openQuery(words, kFilesUsage, 1, context, query)) return *status;
  const InstalledPackage* p = findNamed(query, context);
  if (p == nullptr) return kToolFailed;
  context.out << (query.args.has("--json") ? filesJson(query.repo, *p, query.root)
                                           : filesText(query.repo, *p));
  return kToolOk;
}

int runOwner(const std::vector<std::string>& words, ToolContext& context) {
  Query query;
  if (auto status = openQuery(words, kOwnerUsage, 1, context, query)) return *status;
  const std::string path = listedForm(query.args.positional[0]);
  const auto owners = ownersOf(query.repo, path);
  context.out << (query.args.has("--json") ? ownersJson(path, owners, query.root)
                                           : ownersText(owners));
  if (owners.empty()) return toolError(context, "no package lists " + path);
  return kToolOk;
}

int runInfo(const std::vector<std::string>& words, ToolContext& context) {
  Query query;
  if (auto status = openQuery(words, kInfoUsage, 1, context, query)) return *status;
  const InstalledPackage* p = findNamed(query, context);
  if (p == nullptr) return kToolFailed;
  context.out << (query.args.has("--json") ? infoJson(query.repo, *p, query.root)
                                           : infoText(query.repo, *p));
  return kToolOk;
}

}  // namespace installer
