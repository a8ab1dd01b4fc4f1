#include "pkgtool/inspect.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/format.h"
#include "package/writer.h"
#include "pkgtool/package_builder.h"
#include "support/dev_keys.h"

namespace installer {
namespace {

PackageDescription smallDescription() {
  PackageDescription d;
  d.header.name = "tool";
  d.header.version = makeVersion(7, 1, kStageBeta, 3);
  d.header.buildTime = 86400;
  d.header.flags = kFlagBootImage;
  d.header.note = "say \"hi\"\n";
  d.header.depends = {{"system", makeVersion(7, 1, kStageFinal, 0), 0, 0}};
  d.header.provides = {{"cap", 0, makeVersion(2, 0, kStageFinal, 0), -2}};
  return d;
}

// What a file holds, gathered from what inspectFile hands on.
struct Gathered : InspectSink {
  InspectedFile file;
  std::vector<InspectedPart> parts;
  std::vector<std::string> texts;                    // of each part, empty unless a text
  std::vector<std::vector<InspectedEntry>> entries;  // of each part

  void fileStart(const InspectedFile&) override {}
  void partStart(const InspectedPart& part) override {
    parts.push_back(part);
    texts.emplace_back();
    entries.emplace_back();
  }
  void textPiece(std::string_view piece) override { texts.back().append(piece); }
  void entry(const InspectedEntry& e) override { entries.back().push_back(e); }
  void partEnd(const InspectedPart& part) override { parts.back() = part; }
  void fileEnd(const InspectedFile& f) override { file = f; }
};

Gathered inspect(const std::string& bytes) {
  std::istringstream in(bytes);
  Gathered gathered;
  InspectedFile file;
  EXPECT_TRUE(inspectFile(in, bytes.size(), file, gathered));
  return gathered;
}

std::string renderText(const std::string& bytes, const std::string& path) {
  std::istringstream in(bytes);
  std::ostringstream out;
  InspectedFile file;
  EXPECT_TRUE(inspectFile(in, bytes.size(), file, *inspectTextWriter(out, path)));
  return out.str();
}

std::string renderJson(const std::string& bytes, const std::string& path) {
  std::istringstream in(bytes);
  std::ostringstream out;
  InspectedFile file;
  EXPECT_TRUE(inspectFile(in, bytes.size(), file, *inspectJsonWriter(out, path)));
  return out.str();
}

std::string buildSmall(const std::optional<std::string>& payload = std::nullopt) {
  std::string bytes;
  std::string error;
  EXPECT_TRUE(assemblePackage(smallDescription(), payload, std::nullopt,
                              testing_support::devSigningKeys(), {}, bytes, error))
      << error;
  return bytes;
}

TEST(InspectTest, TextRendering) {
  const std::string bytes = buildSmall();
  EXPECT_EQ(renderText(bytes, "tool.npk"),
            "file: tool.npk\n"
            "magic: 0xbad0f11e (package)\n"
            "size: 289 bytes (header declares 289)\n"
            "part 25 sha256-switch at 8, 0 bytes\n"
            "part 1 header at 14, 36 bytes\n"
            "  name: tool\n"
            "  version: 7.1beta3 (0x07016203)\n"
            "  build time: 1970-01-02 00:00:00 UTC (86400)\n"
            "  flags: 0x00000001 boot-image\n"
            "part 23 note at 56, 9 bytes\n"
            "  text: \"say \\x22hi\\x22\\x0a\"\n"
            "part 3 depends at 71, 34 bytes\n"
            "  system min=7.1\n"
            "part 19 provides at 111, 34 bytes\n"
            "  cap max=2.0 priority=-2\n"
            "part 9 signature at 151, 132 bytes\n"
            "  form: ed25519 and legacy\n");
}

TEST(InspectTest, JsonRendering) {
  const std::string bytes = buildSmall();
  EXPECT_EQ(
      renderJson(bytes, "dir/\"t\".npk"),
      "{\"file\":\"dir/\\\"t\\\".npk\",\"magic\":3134255390,\"magicName\":\"package\","
      "\"size\":289,\"declaredSize\":289,\"parts\":["
      "{\"type\":25,\"kind\":\"sha256-switch\",\"offset\":8,\"length\":0,\"truncated\":false},"
      "{\"type\":1,\"kind\":\"header\",\"offset\":14,\"length\":36,\"truncated\":false,"
      "\"name\":\"tool\",\"version\":\"7.1beta3\",\"versionCode\":117531139,\"buildTime\":86400,"
      "\"flags\":1},"
      "{\"type\":23,\"kind\":\"note\",\"offset\":56,\"length\":9,\"truncated\":false,"
      "\"text\":\"say \\\"hi\\\"\\u000a\"},"
      "{\"type\":3,\"kind\":\"depends\",\"offset\":71,\"length\":34,\"truncated\":false,"
      "\"entries\":[{\"name\":\"system\",\"min\":\"7.1\",\"max\":null,\"priority\":0}],"
      "\"broken\":false},"
      "{\"type\":19,\"kind\":\"provides\",\"offset\":111,\"length\":34,\"truncated\":false,"
      "\"entries\":[{\"name\":\"cap\",\"min\":null,\"max\":\"2.0\",\"priority\":-2}],"
      "\"broken\":false},"
      "{\"type\":9,\"kind\":\"signature\",\"offset\":151,\"length\":132,\"truncated\":false,"
      "\"form\":\"ed25519 and legacy\"}],\"trailingBytes\":0}\n");
}

TEST(InspectTest, PayloadEntriesAndBrokenPayload) {
  const std::vector<PayloadEntry> entries = {
      {0100755, 0, "bin/tool", "#!/bin/sh\n"},
      {040755, 0, "var/dir", ""},
      {0100644, 3, "lib/x.ko", std::string(5000, 'x')},
  };
  const std::string raw = encodeFileEntries(entries);
  Gathered file = inspect(buildSmall(deflateBytes(raw)));
  const auto payloadAt = [](const Gathered& g) {
    std::size_t i = 0;
    while (i < g.parts.size() && g.parts[i].type != kPartPayload) ++i;
    return i;
  };
  std::size_t at = payloadAt(file);
  ASSERT_LT(at, file.parts.size());
  const std::vector<InspectedEntry>& files = file.entries[at];
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].mode, 040755);
  EXPECT_EQ(files[2].hardwareClass, 3);
  EXPECT_EQ(files[2].size, 5000u);
  EXPECT_EQ(file.parts[at].fileCount, 3u);
  EXPECT_EQ(file.parts[at].unpackedSize, 5010u);
  EXPECT_FALSE(file.parts[at].payloadBroken);

  // Cut inside the last entry's data: broken, the entries before it listed.
  file = inspect(buildSmall(deflateBytes(raw.substr(0, raw.size() - 10))));
  at = payloadAt(file);
  ASSERT_LT(at, file.parts.size());
  EXPECT_TRUE(file.parts[at].payloadBroken);
  EXPECT_EQ(file.entries[at].size(), 3u);
}

TEST(InspectTest, DamagedFiles) {
  const std::string bytes = buildSmall();
  // Cut inside the signature: the last part is marked, nothing after it.
  Gathered file = inspect(bytes.substr(0, bytes.size() - 10));
  ASSERT_FALSE(file.parts.empty());
  EXPECT_EQ(file.parts.back().type, kPartSignature);
  EXPECT_TRUE(file.parts.back().truncated);
  // Three stray bytes after the last part.
  file = inspect(bytes + "abc");
  EXPECT_EQ(file.file.trailingBytes, 3u);
  EXPECT_FALSE(file.parts.back().truncated);
  // A list shorter than its count, an unknown part and a 32-byte header.
  PackageWriter w;
  Package p("short");
  w.addHeader(p, kHeaderDataSize);
  w.addPart(77, "?");
  w.addPart(kPartDepends, std::string("\x02\x00", 2) + std::string(32, 'a'));
  file = inspect(w.bytes());
  ASSERT_EQ(file.parts.size(), 3u);
  EXPECT_FALSE(file.parts[0].hasFlags);
  EXPECT_STREQ(partKindName(file.parts[1].type), "unknown");
  EXPECT_TRUE(file.parts[2].listBroken);
  EXPECT_EQ(file.parts[2].list->size(), 1u);
  // A text that claims far more than the file holds.
  PackageWriter liar;
  liar.addPart(kPartNote, "only this", 0xFFFFFFF0u);
  file = inspect(liar.bytes());
  ASSERT_EQ(file.parts.size(), 1u);
  EXPECT_TRUE(file.parts[0].truncated);
  EXPECT_EQ(file.texts[0], "only this");
  // Shorter than a file header; an unknown magic.
  InspectedFile header;
  Gathered nothing;
  std::istringstream tiny("1234567");
  EXPECT_FALSE(inspectFile(tiny, 7, header, nothing));
  std::istringstream junk("12345678");
  ASSERT_TRUE(inspectFile(junk, 8, header, nothing));
  EXPECT_FALSE(header.magicKnown);
  EXPECT_TRUE(nothing.parts.empty());
}

}  // namespace
}  // namespace installer
