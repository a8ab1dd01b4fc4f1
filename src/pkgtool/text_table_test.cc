#include "pkgtool/text_table.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

TEST(TextTable, AlignsColumnsByCharactersNotBytes) {
  TextTable table;
  table.addRow({"Name", "Version", "Note"});
  table.addRow({"caf\xc3\xa9", "7.1", ""});
  table.addRow({"routing", "7.16.2", "dynamic"});
  EXPECT_EQ(table.render(),
            "Name     Version  Note\n"
            "caf\xc3\xa9     7.1\n"
            "routing  7.16.2   dynamic\n");
}

TEST(TextTable, ControlBytesNeverReachTheTerminal) {
  EXPECT_EQ(forTerminal("a\x1b[2Jb\x7f\n"), "a?[2Jb??");
  TextTable table;
  table.addRow({"x\ry", "z"});
  EXPECT_EQ(table.render(), "x?y  z\n");
}

}  // namespace
}  // namespace installer
