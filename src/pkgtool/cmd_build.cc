// pkgtool build: a description and a directory tree into a signed package.
#include <cstdlib>
#include <optional>

#include "pkgtool/arguments.h"
#include "pkgtool/counted.h"
#include "pkgtool/key_file.h"
#include "pkgtool/output_file.h"
#include "pkgtool/package_builder.h"
#include "pkgtool/pkgtool.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool build DESCRIPTION [TREE] -o FILE [OPTIONS]\n"
    "\n"
    "Builds a package file from DESCRIPTION and the regular files below TREE\n"
    "(without TREE the package has no file payload). Files are named by their\n"
    "path below TREE and keep their permission bits; links and other special\n"
    "files are left out with a warning.\n"
    "\n"
    "signing (an Ed25519 signature with room for the older scheme by default):\n"
    "  --key FILE           Ed25519 secret key file (pkgtool keygen ed25519)\n"
    "  --legacy-key FILE    legacy secret key file; fills the older half too\n"
    "  --dev-key            sign with the development keys; never for a release\n"
    "  --legacy-only        the 68-byte signature of the older scheme alone\n"
    "  --unsigned           no signature part\n"
    "layouts for tests:\n"
    "  --switch WHERE       the SHA-256 switch part: before (the header; default),\n"
    "                       after (the header and its lists) or none\n"
    "  --signature-size N   a signature part of N bytes, zero-padded\n"
    "\n"
    "DESCRIPTION holds one \"field: value\" per line (# starts a comment):\n"
    "  name: NAME                      at most 16 bytes\n"
    "  version: 7.1.3                  or 7.1, 7.1rc2, 7.1beta3, 7.1alpha1, 0x07016603\n"
    "  build-time: now                 or seconds since 1970, or YYYY-MM-DD HH:MM:SS\n"
    "                                  (UTC); now is SOURCE_DATE_EPOCH when set\n"
    "  arch: TEXT   note: TEXT   extra-text: TEXT   aux-text: TEXT\n"
    "  depends: NAME [min=V] [max=V]                     (repeatable)\n"
    "  provides: NAME [min=V] [max=V] [priority=N]       (repeatable)\n"
    "  conflicts: NAME [min=V] [max=V]                   (repeatable)\n"
    "  flags: boot-image no-metadata   or a number\n"
    "  class: PATTERN CLASS            matching files install only on hardware\n"
    "                                  class CLASS (1-4); first match wins\n"
    "  magic: package | side-by-side\n"
    "  image: FILE                     an image part with FILE's bytes\n";

bool loadKeys(const Arguments& args, const ToolContext& context, SigningKeys& keys,
              std::string& error) {
  if (args.has("--dev-key")) {
    if (args.value("--key") || args.value("--legacy-key")) {
      error = "--dev-key cannot be combined with --key or --legacy-key";
      return false;
    }
    if (!context.devKeys) {
      error = "this pkgtool has no development keys";
      return false;
    }
    keys = *context.devKeys;
    return true;
  }
  if (const auto path = args.value("--key")) {
    Key32 seed{};
    if (!readKeyFile(*path, KeyKind::kEd25519Secret, seed, error)) return false;
    keys.ed25519Seed = seed;
  }
  if (const auto path = args.value("--legacy-key")) {
    Key32 secret{};
    if (!readKeyFile(*path, KeyKind::kLegacySecret, secret, error)) return false;
    keys.legacySecret = secret;
  }
  return true;
}

bool buildOptions(const Arguments& args, BuildOptions& options, std::string& error) {
  options.sign = !args.has("--unsigned");
  options.form = args.has("--legacy-only") ? SignatureForm::kLegacyOnly : SignatureForm::kFull;
  if (const auto where = args.value("--switch")) {
    if (*where == "before") {
      options.placement = SwitchPlacement::kBeforeHeader;
    } else if (*where == "after") {
      options.placement = SwitchPlacement::kAfterHeader;
    } else if (*where == "none") {
      options.placement = SwitchPlacement::kNone;
    } else {
      error = "--switch takes before, after or none";
      return false;
    }
  }
  if (const auto size = args.value("--signature-size")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(size->c_str(), &end, 10);
    if (size->empty() || *end != '\0' || value > 0xFFFFFF) {
      error = "--signature-size takes a number of bytes";
      return false;
    }
    options.signatureSize = static_cast<std::uint32_t>(value);
  }
  return true;
}

const char* signedWith(const BuildOptions& options, const SigningKeys& keys) {
  if (!options.sign) return "unsigned";
  if (options.form == SignatureForm::kLegacyOnly) return "signed (legacy)";
  return keys.legacySecret ? "signed (ed25519 and legacy)" : "signed (ed25519)";
}

// The signing options and keys; on failure the status to exit with, the
// error already printed.
std::optional<int> readSigning(const Arguments& args, ToolContext& context, BuildOptions& options,
                               SigningKeys& keys) {
  std::string error;
  if (!buildOptions(args, options, error)) return toolError(context, error, kToolUsage);
  if (!loadKeys(args, context, keys, error)) return toolError(context, error);
  if (options.sign && !keys.ed25519Seed && !keys.legacySecret) {
    return toolError(context,
                     "no signing key: give --key FILE (and --legacy-key FILE), --dev-key for "
                     "the development keys, or --unsigned",
                     kToolUsage);
  }
  return std::nullopt;
}

// The description file, with the build time it leaves to the tool.
bool readDescription(const std::string& path, PackageDescription& description, std::string& error) {
  std::string text;
  if (!readWholeFile(path, text, error) || !parseDescription(text, path, description, error)) {
    return false;
  }
  if (!description.buildTimeGiven) description.header.buildTime = defaultBuildTime();
  return true;
}

// The compressed file payload of the regular files below `tree`; the others
// are left out with a warning.
bool compressPayload(const std::string& tree, const PackageDescription& description,
                     ToolContext& context, std::string& payload, std::size_t& fileCount,
                     std::string& error) {
  std::vector<TreeFile> files;
  std::vector<std::string> skipped;
  if (!collectTree(tree, description.classes, files, skipped, error)) return false;
  for (const std::string& name : skipped) {
    context.err << "pkgtool: warning: leaving out " << name << " (not a regular file)\n";
  }
  if (!compressTree(files, payload, error)) return false;
  fileCount = files.size();
  return true;
}

}  // namespace

int runBuild(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--output", "--key", "--legacy-key", "--switch", "--signature-size"};
  table.flags = {"--dev-key", "--legacy-only", "--unsigned"};
  table.aliases = {{"-o", "--output"}};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  const auto output = args.value("--output");
  if (args.positional.empty() || args.positional.size() > 2 || !output) {
    context.err << kUsage;
    return kToolUsage;
  }
  BuildOptions options;
  SigningKeys keys;
  if (auto status = readSigning(args, context, options, keys)) return *status;

  std::string error;
  PackageDescription description;
  if (!readDescription(args.positional[0], description, error)) return toolError(context, error);
  std::optional<std::string> payload;
  std::size_t fileCount = 0;
  if (args.positional.size() == 2 && !compressPayload(args.positional[1], description, context,
                                                      payload.emplace(), fileCount, error)) {
    return toolError(context, error);
  }
  std::optional<std::string> image;
  if (description.imageFile && !readWholeFile(*description.imageFile, image.emplace(), error)) {
    return toolError(context, error);
  }

  std::string bytes;
  if (!assemblePackage(description, payload, image, keys, options, bytes, error) ||
      !writeFileAtomically(*output, bytes, 0666, false, error)) {
    return toolError(context, error);
  }
  context.out << *output << ": " << packageLabel(description.header) << ", "
              << counted(fileCount, "file", "files") << ", " << bytes.size() << " bytes, "
              << signedWith(options, keys) << "\n";
  return kToolOk;
}

}  // namespace installer
