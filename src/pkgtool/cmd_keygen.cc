// pkgtool keygen: a new signing key pair.
#include <sys/stat.h>

#include "package/legacy_signature.h"
#include "pkgtool/arguments.h"
#include "pkgtool/key_file.h"
#include "pkgtool/output_file.h"
#include "pkgtool/pkgtool.h"
#include "platform/signing.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool keygen ed25519|legacy FILE [--force]\n"
    "\n"
    "Makes a new key pair: the secret key goes to FILE (readable by its owner\n"
    "only), the public key to FILE.pub and to standard output. An installer\n"
    "built with the public key (CMake: INSTALLER_ED25519_PUBLIC_KEY or\n"
    "INSTALLER_LEGACY_PUBLIC_KEY, set to FILE.pub or its hex digits) accepts\n"
    "packages signed with the secret one.\n"
    "Existing files are kept unless --force is given.\n";

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

int runKeygen(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.flags = {"--force"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  std::string error;
  if (args.positional.size() != 2 ||
      (args.positional[0] != "ed25519" && args.positional[0] != "legacy")) {
    context.err << kUsage;
    return kToolUsage;
  }
  const bool ed25519 = args.positional[0] == "ed25519";
  const std::string secretPath = args.positional[1];
  const std::string publicPath = secretPath + ".pub";
  if (!args.has("--force")) {
    for (const std::string& path : {secretPath, publicPath}) {
      if (exists(path)) return toolError(context, path + " exists; --force replaces it");
    }
  }

  Key32 secret{};
  Key32 publicKey{};
  const bool made = ed25519
                        ? randomBytes(secret.data(), secret.size()) &&
                              ed25519PublicFromSeed(secret.data(), publicKey.data())
                        : legacyGenerateSecret(secret) && legacyPublicFromSecret(secret, publicKey);
  if (!made) return toolError(context, "cannot make a key: the crypto library failed");
  const KeyKind secretKind = ed25519 ? KeyKind::kEd25519Secret : KeyKind::kLegacySecret;
  const KeyKind publicKind = ed25519 ? KeyKind::kEd25519Public : KeyKind::kLegacyPublic;
  // The public half first: a failure then leaves no secret without its pair.
  if (!writeFileAtomically(publicPath, keyFileText(publicKind, publicKey), 0644, false, error) ||
      !writeFileAtomically(secretPath, keyFileText(secretKind, secret), 0600, true, error)) {
    return toolError(context, error);
  }
  context.out << keyFileText(publicKind, publicKey);
  return kToolOk;
}

}  // namespace installer
