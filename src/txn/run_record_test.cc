#include "txn/run_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace installer {
namespace {

RunRecord sample() {
  RunRecord r;
  r.run = 7;
  r.started = 86400 * 365;
  r.mode = "upgrade";
  r.exitStatus = 28;
  r.outcome = RunOutcome::kRefused;
  r.reason = "no-space";
  r.recovered = RunOutcome::kRolledBack;
  r.bytesWritten = 12345;
  r.files.push_back({"a=b%\n\xff.npk", "a", "7.2", FileFate::kCancelled, "x\ny"});
  r.actions.push_back("uninstalled b-1.0");
  return r;
}

TEST(RunRecordForm, ReadsBackEveryFieldAsWritten) {
  const std::string text = formatRunRecord(sample());
  EXPECT_EQ(text.substr(0, text.find('\n', text.find("recovered="))),
            "installer-run 1\nrun=7\nstarted=1971-01-01T00:00:00Z\nmode=upgrade\nexit_status=28\n"
            "outcome=refused\nreason=no-space\nrecovered=rolled-back");
  const std::vector<RecordField> fields = parseRunRecord(text);
  ASSERT_FALSE(fields.empty());
  std::vector<std::string> keys;
  for (const RecordField& f : fields) keys.push_back(f.key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "run", "started", "mode", "exit_status", "outcome", "reason", "recovered",
                      "bytes_written", "files", "file.1.name", "file.1.package", "file.1.version",
                      "file.1.fate", "file.1.message", "actions", "action.1", "end"}));
  EXPECT_EQ(fields[9].value, "a=b%\n\xff.npk");
  EXPECT_EQ(fields[12].value, "cancelled");
  EXPECT_EQ(fields[13].value, "x\ny");
  // One line per field: nothing a value holds makes a line of its own.
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
            fields.size() + 1);
}

TEST(RunRecordForm, OnlyAWholeRecordOfThisFormIsRead) {
  const std::string text = formatRunRecord(sample());
  const std::string cases[] = {
      "",
      text.substr(0, text.size() - 1),                   // last line cut
      text.substr(0, text.rfind("end=")),                // no end line
      "installer-run 2" + text.substr(text.find('\n')),  // another form
      text.substr(0, text.rfind("end=")) + "end=8\n",    // the end of another run
      text.substr(0, text.find("mode=")) + "mode\n" + text.substr(text.find("mode=")),
      text.substr(0, text.find("mode=")) + "mode=%4\n" + text.substr(text.find("mode=")),
      text.substr(0, text.find("mode=")) + "mode=\x01\n" + text.substr(text.find("mode=")),
  };
  for (const std::string& c : cases) EXPECT_TRUE(parseRunRecord(c).empty()) << c;
}

}  // namespace
}  // namespace installer
