// Test fixtures for the package reader: sample packages, readers over
// seekable and pipe-like inputs, and independent digests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "package/reader.h"
#include "platform/hash.h"
#include "records/package.h"
#include "support/test_source.h"

namespace testing_support {

using installer::Dependency;
using installer::Hasher;
using installer::Package;
using installer::PackageReader;

inline Package makePackage(std::string name, std::uint32_t flags = 0) {
  Package p(std::move(name));
  p.version = installer::makeVersion(7, 1, installer::kStageFinal, 3);
  p.buildTime = 1700000000;
  p.flags = flags;
  return p;
}

inline std::string hashOf(Hasher::Kind kind, std::string_view bytes) {
  auto h = Hasher::create(kind);
  h->update(bytes.data(), bytes.size());
  std::uint8_t out[32];
  h->finish(out);
  return std::string(reinterpret_cast<char*>(out), h->digestSize());
}
inline std::string sha1(std::string_view b) { return hashOf(Hasher::Kind::kSha1, b); }
inline std::string sha256(std::string_view b) { return hashOf(Hasher::Kind::kSha256, b); }

inline std::string digestOf(const PackageReader& r) {
  return std::string(reinterpret_cast<const char*>(r.part().digest()),
                     r.part().hashIsSha256() ? 32 : 20);
}

inline std::string readAll(std::istream& in, std::size_t max) {
  std::string out(max, '\0');
  in.read(out.data(), static_cast<std::streamsize>(max));
  out.resize(static_cast<std::size_t>(in.gcount()));
  return out;
}

inline const std::vector<std::uint32_t> kAllTypes = {1,  2,  3,  4,  9,  16, 17,
                                                     18, 19, 20, 21, 23, 24, 25};

// The kinds of input a reader meets: a seekable file-like buffer, and a pipe
// that refuses seeks and has only one byte ready at a time.
enum class Input { kSeekable, kPipe };

struct Opened {
  Opened(const std::string& bytes, Input kind, bool hashing, std::vector<std::uint32_t> wanted,
         std::streambuf* copyTo = nullptr)
      : source(bytes, kind == Input::kSeekable, kind == Input::kSeekable ? 1 << 30 : 1),
        in(&source),
        reader(in, hashing, copyTo) {
    reader.wantedTypes = std::move(wanted);
  }
  TestSource source;
  std::istream in;
  PackageReader reader;
};

inline Package describedPackage() {
  Package p = makePackage("routing", 1);
  p.extraText = "extra";
  p.arch = "mipsbe";
  p.auxText = "aux";
  p.note = "a note";
  p.depends = {{"system", 0x07010000, 0x07020000, 0}, {"wireless", 0, 0, 0}};
  p.provides = {{"net", 0x07016600, 0, -1}, {"route", 1, 2, 5}};
  p.conflicts = {{"old-routing", 0, 0x06FF0000, 0}};
  return p;
}

inline void expectSameDescription(const Package& got, const Package& want) {
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.flags, want.flags);
  EXPECT_EQ(got.extraText, want.extraText);
  EXPECT_EQ(got.arch, want.arch);
  EXPECT_EQ(got.auxText, want.auxText);
  EXPECT_EQ(got.note, want.note);
  auto same = [](const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].name, b[i].name);
      EXPECT_EQ(a[i].minVersion, b[i].minVersion);
      EXPECT_EQ(a[i].maxVersion, b[i].maxVersion);
      EXPECT_EQ(a[i].priority, b[i].priority);
    }
  };
  same(got.depends, want.depends);
  same(got.provides, want.provides);
  same(got.conflicts, want.conflicts);
}

}  // namespace testing_support
