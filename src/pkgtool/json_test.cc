#include "pkgtool/json.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

struct JsonCase {
  std::string in;
  std::string out;
};

TEST(JsonString, EscapesOnlyWhatJsonRequires) {
  const JsonCase cases[] = {
      {"", R"("")"},
      {"plain name-1.0_x", R"("plain name-1.0_x")"},
      {"quote\" back\\slash", R"("quote\" back\\slash")"},
      {std::string("nul\0tab\tnl\n", 11), R"("nul\u0000tab\u0009nl\u000a")"},
      {"\x1f\x7f", "\"\\u001f\x7f\""},  // DEL needs no escape
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe2\x82\xac \xf0\x9f\x93\xa6", "\"\xe2\x82\xac \xf0\x9f\x93\xa6\""},
      {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\"\xef\xbf\xbf\xf4\x8f\xbf\xbf\""},
  };
  for (const JsonCase& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

TEST(JsonString, BytesOutsideValidUtf8BecomeEscapes) {
  const JsonCase cases[] = {
      {"caf\xe9", R"("caf\u00e9")"},                          // Latin-1, not UTF-8
      {"\xc3", R"("\u00c3")"},                                // cut short at the end
      {"\xc3(", R"("\u00c3(")"},                              // bad continuation
      {"\xc0\xaf", R"("\u00c0\u00af")"},                      // overlong "/"
      {"\xe0\x80\xaf", R"("\u00e0\u0080\u00af")"},            // overlong, three bytes
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},            // surrogate
      {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // above U+10FFFF
      {"\x80x", R"("\u0080x")"},                              // lone continuation
      {"\xff", R"("\u00ff")"},
  };
  for (const JsonCase& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

TEST(JsonString, AppendsToWhatIsThere) {
  std::string out = "{\"name\":";
  appendJsonString(out, "a\"b");
  EXPECT_EQ(out, R"({"name":"a\"b")");
}

}  // namespace
}  // namespace installer
