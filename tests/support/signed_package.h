// Package and bundle files for test fixtures, laid out as pkgtool builds
// them and signed with the development keys (which a default build of the
// installer trusts).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/payload_writer.h"
#include "pkgtool/package_builder.h"
#include "support/dev_keys.h"

namespace testing_support {

struct FixtureOptions {
  installer::BuildOptions build;     // layout and signature form
  std::optional<std::string> image;  // a type-21 part with these bytes
  std::uint32_t magic = 0;           // 0: the ordinary package magic
  bool withoutPayload = false;       // no type-4 part at all
};

// A payload entry: a regular file with the usual permissions unless `mode`
// says otherwise, for every machine unless `hardwareClass` names one.
inline installer::PayloadEntry payloadEntry(const std::string& name, const std::string& data,
                                            std::uint16_t mode = 0100644,
                                            std::uint8_t hardwareClass = 0) {
  return installer::PayloadEntry{mode, hardwareClass, name, data};
}

// A single package: header and lists from `header`, the payload from
// `files` (an empty stream when there are none).
inline std::string signedPackage(const installer::Package& header,
                                 const std::vector<installer::PayloadEntry>& files = {},
                                 const FixtureOptions& options = {}) {
  installer::PackageDescription d;
  d.header = header;
  d.magic = options.magic;
  std::optional<std::string> payload;
  if (!options.withoutPayload) {
    payload = installer::deflateBytes(installer::encodeFileEntries(files));
  }
  std::string bytes;
  std::string error;
  if (!installer::assemblePackage(d, payload, options.image, devSigningKeys(), options.build, bytes,
                                  error)) {
    ADD_FAILURE() << "fixture package: " << error;
  }
  return bytes;
}

// A bundle of member package files (as signedPackage makes them), with an
// empty image part unless `withImage` is false.
inline std::string signedBundle(const installer::Package& header,
                                const std::vector<std::string>& members,
                                const std::vector<std::string>& offByDefault = {},
                                bool withImage = true, std::uint32_t magic = 0) {
  installer::PackageDescription d;
  d.header = header;
  d.magic = magic;
  d.offByDefault = offByDefault;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < members.size(); ++i) names.push_back("member " + std::to_string(i));
  std::string bytes;
  std::string error;
  if (!installer::assembleBundle(d, members, names,
                                 withImage ? std::optional<std::string>("") : std::nullopt, bytes,
                                 error)) {
    ADD_FAILURE() << "fixture bundle: " << error;
  }
  return bytes;
}

}  // namespace testing_support
