#include "pkgtool/package_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "apply/safe_names.h"
#include "console/visible_text.h"
#include "package/reader.h"
#include "package/signature.h"
#include "package/writer.h"

namespace installer {
namespace {

constexpr std::uint64_t kMaxPart = 0xFFFFFFFFu;
constexpr std::size_t kReadChunk = 65536;

PackageWriter writerFor(const PackageDescription& d) {
  return PackageWriter(d.magic != 0 ? d.magic : kMagicPackage);
}

bool fitsFile(const PackageWriter& writer, std::string& error) {
  if (writer.body().size() > kMaxPart) {
    error = "the package would exceed 4 GiB";
    return false;
  }
  return true;
}

std::vector<Dependency> namesOnly(const std::vector<std::string>& names) {
  std::vector<Dependency> list;
  for (const std::string& name : names) list.push_back(Dependency{name, 0, 0, 0});
  return list;
}

// The signature part over everything written so far.
bool addSignature(PackageWriter& writer, const SigningKeys& keys, const BuildOptions& options,
                  std::string& error) {
  const std::uint32_t formSize = static_cast<std::uint32_t>(
      options.form == SignatureForm::kFull ? kFullSignatureSize : kLegacySignatureSize);
  const std::uint32_t size = options.signatureSize.value_or(formSize);
  if (size < formSize) {
    error = "a signature part of this form needs at least " + std::to_string(formSize) + " bytes";
    return false;
  }
  const SigningDigest digest = writer.signingDigest(size);
  std::vector<std::uint8_t> signature;
  if (!makeSignature(keys, options.form, digest.bytes, digest.sha256, signature, error)) {
    return false;
  }
  signature.resize(size, 0);
  writer.addPart(kPartSignature,
                 std::string_view(reinterpret_cast<const char*>(signature.data()), size));
  return true;
}

// The header of a member package file `label` of a bundle of `magic`.
bool readMemberHeader(const std::string& file, const std::string& label, std::uint32_t magic,
                      Package& member, std::string& error) {
  std::istringstream in(file);
  PackageReader reader(in, false);
  reader.wantedTypes = {kPartHeader, kPartBundleHeader};
  if (!reader.good() || file.size() != reader.totalLength) {
    error = "not a package file (or cut short): " + label;
    return false;
  }
  if (reader.magic != magic) {
    error = "member " + label + " has another magic than the bundle";
    return false;
  }
  const int first = reader.nextPart();
  if (first == kPartBundleHeader) {
    error = "a bundle cannot be a member: " + label;
    return false;
  }
  if (first != kPartHeader || !readHeader(member, reader)) {
    error = "no package header in " + label;
    return false;
  }
  return true;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A member the installer takes as one of the bundle named `bundle`, beside
// the members named `earlier`.
bool checkMember(const Package& member, const std::string& label, const std::string& bundle,
                 const std::vector<std::string>& earlier, std::string& error) {
  if (member.name == bundle) {
    error = "member " + label + " has the bundle's own name";
    return false;
  }
  if (!headerNamesAreSafe(member)) {
    error = "member " + label + " has a name the installer refuses";
    return false;
  }
  if (contains(earlier, member.name)) {
    error = "member " + label + " is " + member.name + " again: a bundle brings each once";
    return false;
  }
  return true;
}

}  // namespace

bool collectTree(const std::string& root, const std::vector<ClassRule>& classes,
                 std::vector<TreeFile>& files, std::vector<std::string>& skipped,
                 std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    error = "not a directory: " + root;
    return false;
  }
  std::vector<TreeFile> found;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      error = "cannot read " + path;
      return false;
    }
    const std::string name = it->path().lexically_relative(root).generic_string();
    if (S_ISDIR(st.st_mode)) continue;
    if (!S_ISREG(st.st_mode)) {
      skipped.push_back(name);
      continue;
    }
    if (name.size() > 0xFFFF || static_cast<std::uint64_t>(st.st_size) > kMaxPart) {
      error = "too large for a package entry: " + path;
      return false;
    }
    if (!isSafeEntryName(name)) {
      error = "the installer refuses the file name \"" + visibleText(name) +
              "\": it must not hold a blank or a control byte";
      return false;
    }
    if (isReservedEntryName(name)) {
      error = name + " would land on /flash/" + name + ", which belongs to the installer";
      return false;
    }
    found.push_back({path, name, static_cast<std::uint16_t>(st.st_mode & 0xFFFF),
                     classFor(classes, name), static_cast<std::uint64_t>(st.st_size)});
  }
  if (ec) {
    error = "cannot read the tree " + root + ": " + ec.message();
    return false;
  }
  std::sort(found.begin(), found.end(),
            [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
  files = std::move(found);
  return true;
}

bool compressTree(const std::vector<TreeFile>& files, std::string& payload, std::string& error) {
  PayloadBuilder builder(9);
  std::string chunk(kReadChunk, '\0');
  for (const TreeFile& f : files) {
    std::ifstream in(f.path, std::ios::binary);
    if (!in) {
      error = "cannot open " + f.path;
      return false;
    }
    builder.addEntryHeader(f.mode, f.hardwareClass, static_cast<std::uint32_t>(f.size), f.name);
    std::uint64_t left = f.size;
    while (left > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
      in.read(chunk.data(), static_cast<std::streamsize>(want));
      if (static_cast<std::size_t>(in.gcount()) != want) {
        error = "file changed while it was read: " + f.path;
        return false;
      }
      builder.addData(std::string_view(chunk.data(), want));
      left -= want;
    }
    if (in.peek() != std::char_traits<char>::eof()) {
      error = "file changed while it was read: " + f.path;
      return false;
    }
  }
  payload = builder.finish();
  if (payload.size() > kMaxPart) {
    error = "the payload would exceed 4 GiB";
    return false;
  }
  return true;
}

bool assemblePackage(const PackageDescription& description,
                     const std::optional<std::string>& payload,
                     const std::optional<std::string>& image, const SigningKeys& keys,
                     const BuildOptions& options, std::string& bytes, std::string& error) {
  if (!description.offByDefault.empty()) {
    error = "off-by-default members belong to a bundle description";
    return false;
  }
  Package header = description.header;
  header.isBundle = false;
  PackageWriter writer = writerFor(description);
  if (options.placement == SwitchPlacement::kBeforeHeader) writer.addSha256Switch();
  writer.addPackageHeader(header);
  if (options.placement == SwitchPlacement::kAfterHeader) writer.addSha256Switch();
  if (image) writer.addImage(*image);
  if (payload) writer.addPart(kPartPayload, *payload);

  if (options.sign && !addSignature(writer, keys, options, error)) return false;
  if (!fitsFile(writer, error)) return false;
  bytes = writer.bytes();
  return true;
}

bool assembleBundle(const PackageDescription& description, const std::vector<std::string>& members,
                    const std::vector<std::string>& memberNames,
                    const std::optional<std::string>& image, std::string& bytes,
                    std::string& error) {
  const Package& h = description.header;
  if (!h.depends.empty() || !h.provides.empty() || !h.conflicts.empty()) {
    error = "a bundle carries no depends, provides or conflicts";
    return false;
  }
  if (members.empty()) {
    error = "a bundle needs at least one member";
    return false;
  }
  const std::uint32_t magic = description.magic != 0 ? description.magic : kMagicPackage;
  PackageWriter writer(magic);
  Package header = h;
  header.isBundle = true;
  writer.addPackageHeader(header);
  if (image) writer.addImage(*image);
  if (!description.offByDefault.empty()) {
    writer.addDependencyList(kPartOffByDefault, namesOnly(description.offByDefault));
  }
  std::vector<std::string> memberHeaderNames;
  for (std::size_t i = 0; i < members.size(); ++i) {
    Package member;
    if (!readMemberHeader(members[i], memberNames[i], magic, member, error) ||
        !checkMember(member, memberNames[i], h.name, memberHeaderNames, error)) {
      return false;
    }
    memberHeaderNames.push_back(member.name);
    writer.addRaw(std::string_view(members[i]).substr(kFileHeaderSize));
  }
  for (const std::string& name : description.offByDefault) {
    if (!contains(memberHeaderNames, name)) {
      error = "off-by-default names no member: " + name;
      return false;
    }
  }
  if (!fitsFile(writer, error)) return false;
  bytes = writer.bytes();
  return true;
}

}  // namespace installer
