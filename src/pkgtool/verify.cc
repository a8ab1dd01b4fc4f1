#include "pkgtool/verify.h"

#include "package/format.h"
#include "package/reader.h"
#include "package/signature.h"

namespace installer {
namespace {

VerifyResult refused(std::string label, std::string reason) {
  return {std::move(label), false, std::move(reason), ""};
}

std::string keyText(const Key32& key) { return hexText(key.data(), key.size()); }

// Names the scheme and key of the verdict: the one that accepted, else
// every one tried and why the older scheme was not.
std::string triedText(const SignatureVerdict& v, const PublicKeys& keys) {
  if (v.acceptedBy == SignatureScheme::kEd25519) return "ed25519, key " + keyText(keys.ed25519);
  if (v.acceptedBy == SignatureScheme::kLegacy) return "legacy, key " + keyText(keys.legacy);
  if (v.form == 0) return "the signature part is too short for any scheme";
  std::string text;
  if (v.triedEd25519) text = "tried ed25519 with key " + keyText(keys.ed25519);
  if (v.triedLegacy) {
    text +=
        (text.empty() ? "tried " : ", ") + std::string("legacy with key ") + keyText(keys.legacy);
  }
  if (!v.triedEd25519) {
    text += (text.empty() ? "" : "; ") + std::string(v.form == kLegacySignatureSize
                                                         ? "no ed25519 signature in the part"
                                                         : "no SHA-256 digest for ed25519");
  }
  if (!v.legacyAllowed) {
    text += "; the older scheme is not accepted for this package";
  } else if (!v.triedLegacy) {
    text += "; the older scheme is switched off";
  }
  return text;
}

// One package from its header part to past its signature, as an
// installation reads it. Returns false when the walk cannot go on.
bool verifyOne(PackageReader& reader, bool member, const PublicKeys& keys,
               std::vector<VerifyResult>& results) {
  Package p;
  if (!readHeader(p, reader)) {
    results.push_back(refused("(unreadable header)", "broken package header"));
    return false;
  }
  const std::string label = packageLabel(p);
  if (reader.partType == kPartImage) reader.nextPart();
  if (reader.partType == kPartPayload) reader.nextPart();
  if (reader.partType != kPartSignature) {
    results.push_back(refused(label, "no signature part"));
    return false;
  }
  const SignatureVerdict verdict = checkSignature(p, reader, keys);
  reader.nextPart();
  if (!member) {
    // What a single package may still hold after its signature.
    if (reader.partType == kPartArch) reader.nextPart();
    if (reader.partType == kPartDepends && reader.part().partLength == 0) reader.nextPart();
    if (reader.partType != kNoPart) {
      results.push_back(refused(label, "unexpected parts after the signature"));
      return false;
    }
  }
  VerifyResult result{label, verdict.accepted(), verdict.accepted() ? "" : "signature refused",
                      triedText(verdict, keys)};
  results.push_back(std::move(result));
  return true;
}

}  // namespace

std::vector<VerifyResult> verifyPackageFile(std::istream& in, std::uint64_t size,
                                            const PublicKeys& keys) {
  std::vector<VerifyResult> results;
  PackageReader reader(in, true);
  if (!reader.good()) {
    results.push_back(refused("(file)", "not a package file"));
    return results;
  }
  if (reader.totalLength != size) {
    results.push_back(refused("(file)", "the header declares " +
                                            std::to_string(reader.totalLength) +
                                            " bytes, the file has " + std::to_string(size)));
    return results;
  }
  reader.wantedTypes = {kPartHeader,  kPartBundleHeader, kPartOffByDefault, kPartArch,
                        kPartDepends, kPartProvides,     kPartConflicts,    kPartImage,
                        kPartPayload, kPartSignature};
  const int first = reader.nextPart();
  if (first != kPartBundleHeader) {
    if (first != kPartHeader) {
      results.push_back(refused("(file)", "no package header"));
    } else {
      verifyOne(reader, false, keys, results);
    }
    return results;
  }

  Package bundle;
  if (!readHeader(bundle, reader)) {
    results.push_back(refused("(bundle)", "broken bundle header"));
    return results;
  }
  const std::string label = packageLabel(bundle);
  if (!bundle.depends.empty() || !bundle.provides.empty() || !bundle.conflicts.empty()) {
    results.push_back(refused(label, "a bundle header with lists"));
    return results;
  }
  if (reader.partType == kPartImage) reader.nextPart();
  if (reader.partType == kPartOffByDefault) reader.nextPart();
  std::size_t members = 0;
  while (reader.partType == kPartHeader) {
    ++members;
    if (!verifyOne(reader, true, keys, results)) return results;
  }
  if (reader.partType == kPartArch) reader.nextPart();
  if (reader.partType != kNoPart) {
    results.push_back(refused(label, "parts left after the last member"));
  } else if (members == 0) {
    results.push_back(refused(label, "the bundle brings no member"));
  }
  return results;
}

}  // namespace installer
