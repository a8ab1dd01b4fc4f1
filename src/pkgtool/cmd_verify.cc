// pkgtool verify: the installer's signature check, with its built-in keys
// unless others are given.
#include <sys/stat.h>

#include <fstream>

#include "console/visible_text.h"
#include "pkgtool/arguments.h"
#include "pkgtool/key_file.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/regular_file.h"
#include "pkgtool/verify.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool verify [--public-key FILE] [--legacy-public-key FILE] FILE...\n"
    "\n"
    "Checks the signature of every package in each FILE (each member of a\n"
    "bundle) the way the installer does, with the keys built into it unless\n"
    "others are given. Prints one line per package; exits 0 when every\n"
    "signature is accepted, 1 otherwise.\n";

}  // namespace

int runVerify(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--public-key", "--legacy-public-key"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  std::string error;
  if (args.positional.empty()) {
    context.err << kUsage;
    return kToolUsage;
  }
  PublicKeys keys = builtInKeys();
  if (const auto path = args.value("--public-key")) {
    if (!readKeyFile(*path, KeyKind::kEd25519Public, keys.ed25519, error)) {
      return toolError(context, error);
    }
  }
  if (const auto path = args.value("--legacy-public-key")) {
    if (!readKeyFile(*path, KeyKind::kLegacyPublic, keys.legacy, error)) {
      return toolError(context, error);
    }
  }

  bool allAccepted = true;
  for (const std::string& path : args.positional) {
    RegularFileStream in;
    if (in.open(path) != RegularOpen::kOpened) {
      context.out << path << ": cannot open\n";
      allAccepted = false;
      continue;
    }
    for (const VerifyResult& r : verifyPackageFile(in, in.size(), keys)) {
      // The label comes from the file: it may hold any byte.
      context.out << visibleText(path) << ": " << visibleText(r.label) << ": "
                  << (r.accepted ? "ok" : r.reason) << (r.tried.empty() ? "" : " (" + r.tried + ")")
                  << "\n";
      allAccepted = allAccepted && r.accepted;
    }
  }
  return allAccepted ? kToolOk : kToolFailed;
}

}  // namespace installer
