#include "console/listing.h"

#include <gtest/gtest.h>

#include <sstream>

namespace installer {
namespace {

const std::string kHeader =
    "            Name          Version                Built                                    "
    "Note\n";
const std::string kRule = std::string(94, '-') + "\n";

void add(Repository& repo, const std::string& name, Version version, std::uint32_t buildTime,
         const std::string& note = {}, bool disabled = false, const std::string& bundle = {}) {
  auto p = std::make_unique<InstalledPackage>(name);
  p->version = version;
  p->buildTime = buildTime;
  p->note = note;
  p->disabled = disabled;
  p->bundle.name = bundle;
  repo.packages.push_back(std::move(p));
}

std::string listing(const Repository& repo) {
  std::ostringstream out;
  printListing(repo, out);
  return out.str();
}

TEST(Listing, EmptyRepositoryShowsHeaderAndRule) {
  Repository repo;
  EXPECT_EQ(kHeader.size(), 95u);  // 94 characters and the newline
  EXPECT_EQ(listing(repo), kHeader + kRule);
}

TEST(Listing, RowsInLoadOrder) {
  Repository repo;
  add(repo, "system", makeVersion(7, 1, 0x66, 3), 1704460065, "keep this one");
  add(repo, "wireless", makeVersion(7, 1, 0x63, 2), 0, "", true, "basepack");
  add(repo, "basepack", makeVersion(7, 1, 0x66, 0), 4294967295u);
  add(repo, "a-very-long-package-name", makeVersion(7, 1, 0x62, 1), 86399, "n");
  add(repo, "x", 0, 60, std::string(45, 'N'));
  // Rows are 95 wide: the Note column ends one further right than "Note".
  EXPECT_EQ(listing(repo), kHeader + kRule +
                               "          system            7.1.3 Jan/05/2024 13:07:45 "
                               "                           keep this one\n"
                               "        wireless XB        7.1rc2 Jan/01/1970 00:00:00 "
                               "                                        \n"
                               "        basepack              7.1 Feb/07/2106 06:28:15 "
                               "                                        \n"
                               "a-very-long-package-name         7.1beta1 Jan/01/1970 23:59:59 "
                               "                                       n\n"
                               "               x              0.0 Jan/01/1970 00:01:00 "
                               "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN\n");
}

TEST(Listing, ShortRowIs95Characters) {
  Repository repo;
  add(repo, "foo", makeVersion(1, 0, 0x66, 0), 0);
  const std::string out = listing(repo);
  const std::string row = out.substr(kHeader.size() + kRule.size());
  EXPECT_EQ(
      row, "             foo              1.0 Jan/01/1970 00:00:00 " + std::string(40, ' ') + "\n");
  EXPECT_EQ(row.size(), 96u);
}

}  // namespace
}  // namespace installer
