// Progress for machines: the lines the installer writes to the descriptor
// INSTALLER_PROGRESS_FD names, and that no state of that descriptor (closed,
// full, its reader gone, no descriptor at all) changes anything of the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using ts::describe;
using ts::RouterRoot;

// A pipe whose ends the installer inherits; closed with the object.
class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read_ = fds[0];
      write_ = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  int readEnd() const { return read_; }
  int writeEnd() const { return write_; }
  void closeRead() {
    if (read_ >= 0) close(read_);
    read_ = -1;
  }
  void closeWrite() {
    if (write_ >= 0) close(write_);
    write_ = -1;
  }
  // Everything written, once the writer is gone.
  std::string drain() {
    closeWrite();
    std::string text;
    char block[4096];
    for (ssize_t got; (got = read(read_, block, sizeof block)) > 0;) {
      text.append(block, static_cast<std::size_t>(got));
    }
    return text;
  }
  // Fills the pipe up: the next write would wait.
  void fill() {
    const int flags = fcntl(write_, F_GETFL);
    fcntl(write_, F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(write_, block.data(), block.size()) > 0) {
    }
    fcntl(write_, F_SETFL, flags);
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      out.push_back(text.substr(at) + "<cut>");
      break;
    }
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// The value of a member of one flat JSON object line, as it is written
// (strings without their quotes).
std::string member(const std::string& line, const std::string& key) {
  const std::string wanted = "\"" + key + "\":";
  const std::size_t at = line.find(wanted);
  if (at == std::string::npos) return "<none>";
  std::size_t from = at + wanted.size();
  if (line[from] == '"') {
    ++from;
    return line.substr(from, line.find('"', from) - from);
  }
  return line.substr(from, line.find_first_of(",}", from) - from);
}

void prepare(RouterRoot& router) {
  router.install({{"tool-7.1.npk", router.build(describe("tool", "7.1"), {{"bin/tool", "old"}})}});
  ts::PackageFiles files;
  for (int i = 0; i < 40; ++i)
    files["lib/f" + std::to_string(i)] = std::string(5000, static_cast<char>('a' + i % 26));
  router.download("tool-7.2.npk", router.build(describe("tool", "7.2"), files));
  router.download("other-1.0.npk", router.build(describe("other", "1.0"), {{"bin/other", "o"}}));
}

class Progress : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }
};

TEST_F(Progress, OneJsonObjectALineFromScanToTheOutcome) {
  RouterRoot router;
  prepare(router);
  Pipe pipe;
  ts::RunOptions options;
  options.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe.writeEnd());
  const ts::RunResult result = router.run({}, options);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  const std::vector<std::string> got = lines(pipe.drain());
  ASSERT_GE(got.size(), 5u);
  std::vector<std::string> phases;
  for (const std::string& line : got) {
    ASSERT_TRUE(line.starts_with("{\"phase\":") && line.ends_with("}")) << line;
    if (phases.empty() || phases.back() != member(line, "phase")) {
      phases.push_back(member(line, "phase"));
    }
    if (member(line, "phase") == "stage") {
      const std::string package = member(line, "package");
      EXPECT_TRUE(package == "tool-7.2" || package == "other-1.0") << line;
      EXPECT_LE(std::stoull(member(line, "bytes_done")), std::stoull(member(line, "bytes_total")))
          << line;
    }
  }
  EXPECT_EQ(phases, (std::vector<std::string>{"scan", "stage", "check", "commit", "done"}));
  EXPECT_EQ(got.back(),
            "{\"phase\":\"done\",\"outcome\":\"committed\",\"reason\":\"\",\"exit_status\":0}");
}

TEST_F(Progress, TheLastLineCarriesARefusal) {
  RouterRoot router;
  router.install({{"tool-7.1.npk", router.build(describe("tool", "7.1"), {{"bin/tool", "old"}})}});
  router.download("cut.npk", "not a package at all");
  Pipe pipe;
  ts::RunOptions options;
  options.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe.writeEnd());
  EXPECT_EQ(router.run({}, options).status, 0);
  EXPECT_EQ(lines(pipe.drain()).back(),
            "{\"phase\":\"done\",\"outcome\":\"refused\",\"reason\":\"all-refused\","
            "\"exit_status\":0}");
}

// A run refused because another installer holds the lock leaves that run's
// record alone (it will replace it); the progress descriptor says why.
TEST_F(Progress, ABusyRunSaysSoHereAndLeavesTheRecord) {
  RouterRoot router;
  prepare(router);
  const std::string record = router.file("/flash/var/pdb/.last-run");
  const int held =
      open((router / "/ram/installer.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Pipe pipe;
  ts::RunOptions options;
  options.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe.writeEnd());
  const ts::RunResult result = router.run({}, options);
  close(held);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(router.file("/flash/var/pdb/.last-run"), record);
  EXPECT_EQ(
      lines(pipe.drain()),
      std::vector<std::string>{
          "{\"phase\":\"done\",\"outcome\":\"refused\",\"reason\":\"busy\",\"exit_status\":1}"});
}

// Every state of the descriptor, against a run without it: the same exit
// status, the same bytes on the console, the same files.
TEST_F(Progress, NoStateOfTheDescriptorChangesTheRun) {
  struct Case {
    const char* name;
    // Sets the variable (and what it names) up; returns what must outlive
    // the run.
    std::function<std::shared_ptr<Pipe>(ts::RunOptions&)> setUp;
  };
  const auto named = [](const char* value) {
    return [value](ts::RunOptions& o) {
      o.env["INSTALLER_PROGRESS_FD"] = value;
      return std::shared_ptr<Pipe>();
    };
  };
  const std::vector<Case> cases = {
      {"a closed descriptor", named("57")},
      {"standard output", named("1")},
      {"not a number", named("3x")},
      {"negative", named("-4")},
      {"empty", named("")},
      {"a full pipe",
       [](ts::RunOptions& o) {
         auto pipe = std::make_shared<Pipe>();
         pipe->fill();
         o.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe->writeEnd());
         return pipe;
       }},
      {"a pipe whose reader is gone",
       [](ts::RunOptions& o) {
         auto pipe = std::make_shared<Pipe>();
         pipe->closeRead();
         o.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe->writeEnd());
         return pipe;
       }},
      {"a read-only descriptor",
       [](ts::RunOptions& o) {
         auto pipe = std::make_shared<Pipe>();
         o.env["INSTALLER_PROGRESS_FD"] = std::to_string(pipe->readEnd());
         return pipe;
       }},
  };
  for (const Case& c : cases) {
    RouterRoot control;
    RouterRoot router;
    prepare(control);
    prepare(router);
    ts::RunOptions options;
    options.timeoutSeconds = 60;
    const ts::RunResult expected = control.run({}, options);
    const std::shared_ptr<Pipe> keep = c.setUp(options);
    const ts::RunResult result = router.run({}, options);
    EXPECT_EQ(result.status, expected.status) << c.name;
    EXPECT_EQ(result.out, expected.out) << c.name;
    EXPECT_EQ(result.err, expected.err) << c.name;
    EXPECT_EQ(router.tree(), control.tree()) << c.name;
  }
}

}  // namespace
