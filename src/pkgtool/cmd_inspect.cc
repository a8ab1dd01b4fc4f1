// pkgtool inspect: the parts of a package or bundle file, for people or as
// JSON.
#include <memory>

#include "pkgtool/arguments.h"
#include "pkgtool/inspect.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/regular_file.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool inspect [--json] FILE\n"
    "\n"
    "Shows every part of a package or bundle file in file order: its type,\n"
    "offset and length, the header fields, texts, dependency lists, the file\n"
    "entries of the payload and the signature's form. --json prints one JSON\n"
    "object instead.\n";

}  // namespace

int runInspect(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.flags = {"--json"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  if (args.positional.size() != 1) {
    context.err << kUsage;
    return kToolUsage;
  }
  const std::string& path = args.positional[0];
  RegularFileStream in;
  if (in.open(path) != RegularOpen::kOpened) return toolError(context, "cannot open " + path);
  const std::unique_ptr<InspectSink> writer = args.has("--json")
                                                  ? inspectJsonWriter(context.out, path)
                                                  : inspectTextWriter(context.out, path);
  InspectedFile file;
  if (!inspectFile(in, in.size(), file, *writer)) {
    return toolError(context, path + " is not a package file (shorter than its 8-byte header)");
  }
  if (!file.magicKnown) return toolError(context, path + " is not a package file (unknown magic)");
  return kToolOk;
}

}  // namespace installer
