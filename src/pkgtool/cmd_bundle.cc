// pkgtool bundle: member package files into one bundle file.
#include "pkgtool/arguments.h"
#include "pkgtool/counted.h"
#include "pkgtool/output_file.h"
#include "pkgtool/package_builder.h"
#include "pkgtool/pkgtool.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool bundle DESCRIPTION MEMBER... -o FILE [--no-image]\n"
    "\n"
    "Puts the MEMBER package files, each copied whole with its own signature,\n"
    "behind a bundle header made from DESCRIPTION. The description takes the\n"
    "fields of a package description except depends, provides, conflicts and\n"
    "class, and adds\n"
    "  off-by-default: NAME     a member that arrives disabled (repeatable)\n"
    "The bundle gets an image part (from the description's image: field, else\n"
    "empty), so that the installed bundle file is kept as its image;\n"
    "--no-image leaves it out.\n";

}  // namespace

int runBundle(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--output"};
  table.flags = {"--no-image"};
  table.aliases = {{"-o", "--output"}};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  std::string error;
  const auto output = args.value("--output");
  if (args.positional.size() < 2 || !output) {
    context.err << kUsage;
    return kToolUsage;
  }
  const std::string& descriptionPath = args.positional[0];
  std::string text;
  PackageDescription description;
  if (!readWholeFile(descriptionPath, text, error) ||
      !parseDescription(text, descriptionPath, description, error)) {
    return toolError(context, error);
  }
  if (!description.classes.empty()) {
    return toolError(context, descriptionPath + ": class rules belong to a package description");
  }
  if (!description.buildTimeGiven) {
    description.header.buildTime = defaultBuildTime();
  }
  std::optional<std::string> image;
  if (description.imageFile) {
    std::string data;
    if (!readWholeFile(*description.imageFile, data, error)) return toolError(context, error);
    image = std::move(data);
  }
  if (args.has("--no-image")) {
    if (description.imageFile) {
      return toolError(context, "--no-image and an image: field contradict", kToolUsage);
    }
  } else if (!image) {
    image = std::string();
  }

  std::vector<std::string> members;
  std::vector<std::string> names(args.positional.begin() + 1, args.positional.end());
  for (const std::string& path : names) {
    std::string bytes;
    if (!readWholeFile(path, bytes, error)) return toolError(context, error);
    members.push_back(std::move(bytes));
  }
  std::string bytes;
  if (!assembleBundle(description, members, names, image, bytes, error) ||
      !writeFileAtomically(*output, bytes, 0666, false, error)) {
    return toolError(context, error);
  }
  context.out << *output << ": bundle " << packageLabel(description.header) << ", "
              << counted(members.size(), "member", "members") << ", " << bytes.size() << " bytes\n";
  return kToolOk;
}

}  // namespace installer
