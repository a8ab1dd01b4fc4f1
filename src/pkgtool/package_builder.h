// Building package and bundle files from a description: the part layout,
// the file payload from a directory tree, and the signature.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/signer.h"
#include "pkgtool/description.h"

namespace installer {

// Where the part that switches the reader's hash to SHA-256 goes. Before the
// header the digest (restarted at the header) covers the header, the texts
// and the lists; after them it covers only what follows; without it the
// digest is SHA-1 and only the older scheme can sign.
enum class SwitchPlacement { kBeforeHeader, kAfterHeader, kNone };

struct BuildOptions {
  bool sign = true;
  SignatureForm form = SignatureForm::kFull;
  SwitchPlacement placement = SwitchPlacement::kBeforeHeader;
  // A larger signature part, zero-padded (the installer takes the first 132
  // or 68 bytes).
  std::optional<std::uint32_t> signatureSize;
};

// A regular file of the tree that goes into the payload.
struct TreeFile {
  std::string path;  // on this machine
  std::string name;  // inside the package: relative, "/"-separated
  std::uint16_t mode = 0;
  std::uint8_t hardwareClass = 0;
  std::uint64_t size = 0;
};

// The regular files below `root`, sorted by name, with the hardware class
// of the description's rules. Other entries than directories (links,
// devices, sockets) go to `skipped`.
[[nodiscard]] bool collectTree(const std::string& root, const std::vector<ClassRule>& classes,
                               std::vector<TreeFile>& files, std::vector<std::string>& skipped,
                               std::string& error);

// The zlib stream of file entries for `files`, read one piece at a time.
[[nodiscard]] bool compressTree(const std::vector<TreeFile>& files, std::string& payload,
                                std::string& error);

// A package file: [25] 1 24 16 2 23 3 19 17 [25] [21] [4] [9]. `payload` is
// the compressed type-4 data (none: no payload part), `image` the type-21
// data (none: no image part).
[[nodiscard]] bool assemblePackage(const PackageDescription& description,
                                   const std::optional<std::string>& payload,
                                   const std::optional<std::string>& image, const SigningKeys& keys,
                                   const BuildOptions& options, std::string& bytes,
                                   std::string& error);

// A bundle file: 18 24 16 2 23 3 [21] [20] and then each member's parts,
// copied whole. `members` are the member files' bytes, `memberNames` the
// names to report them by.
[[nodiscard]] bool assembleBundle(const PackageDescription& description,
                                  const std::vector<std::string>& members,
                                  const std::vector<std::string>& memberNames,
                                  const std::optional<std::string>& image, std::string& bytes,
                                  std::string& error);

}  // namespace installer
