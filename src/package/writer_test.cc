// The package writer: exact bytes of the file header, header data and
// dependency lists, and the signature hook.
#include "package/writer.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(Writer, FileHeaderAndParts) {
  PackageWriter w(kMagicSideBySide);
  w.addText(kPartNote, "hi");
  w.addPart(0x1234, "", 7);
  w.addRaw("\x01");
  EXPECT_EQ(hex(w.bytes()),
            "fb0f10a1"  // magic, little-endian
            "0f000000"  // payload length: 8 + 6 + 1
            "1700"
            "02000000"
            "6869"
            "3412"
            "07000000"
            "01");
  w.overridePayloadLength(0x01020304);
  EXPECT_EQ(hex(w.bytes().substr(4, 4)), "04030201");
}

TEST(Writer, HeaderData) {
  Package p("tool");
  p.version = 0x07016600;
  p.buildTime = 0x11223344;
  p.flags = 0x80000003;
  const std::string fixed =
      "746f6f6c000000000000000000000000"  // name, NUL-padded to 16
      "00660107"                          // version
      "44332211"                          // build time
      "0000000000000000";                 // not interpreted
  EXPECT_EQ(hex(encodeHeaderData(p, 32)), fixed);
  EXPECT_EQ(hex(encodeHeaderData(p)), fixed + "03000080");
  EXPECT_EQ(hex(encodeHeaderData(p, 40)), fixed + "03000080" + "00000000");
  EXPECT_EQ(encodeHeaderData(p, 10).size(), 10u);
}

TEST(Writer, DependencyList) {
  EXPECT_EQ(hex(encodeDependencyList({})), "0000");
  EXPECT_EQ(hex(encodeDependencyList({{"net", 0x07016600, 0x08000000, -1}})),
            "0100"
            "6e657400000000000000000000000000"
            "00660107"
            "00000000"
            "00000008"
            "ffffffff");
}

TEST(Writer, SignatureHookGetsTheLengthItWillWrite) {
  PackageWriter w;
  w.addSha256Switch();
  w.addHeader(Package("tool"));
  const SigningDigest short68 = w.signingDigest(68);
  const SigningDigest long132 = w.signingDigest(132);
  EXPECT_TRUE(short68.sha256);
  EXPECT_EQ(short68.size, 32u);
  // The part header, with its length, is inside the hashed bytes.
  EXPECT_NE(hex({reinterpret_cast<const char*>(short68.bytes), 32}),
            hex({reinterpret_cast<const char*>(long132.bytes), 32}));

  const std::size_t before = w.body().size();
  w.addSignature(132, [&](const SigningDigest& d) {
    EXPECT_EQ(hex({reinterpret_cast<const char*>(d.bytes), 32}),
              hex({reinterpret_cast<const char*>(long132.bytes), 32}));
    return std::string(200, 's');  // cut to the declared length
  });
  EXPECT_EQ(w.body().size(), before + 6 + 132);
  EXPECT_EQ(hex(w.body().substr(before, 6)), "090084000000");
}

}  // namespace
}  // namespace installer
