// Whole-process comparisons: runs several commands in turn, round after
// round, and reports wall time, CPU time (user + system, the command's
// children included) and peak resident set size of each, with the ratio of
// each command to the first one taken round by round.
//
//   bench_compare [--rounds N] [--warmup N] [--title TEXT] [--results FILE]
//                 [--logs DIR] [--pin CPU]
//                 --case NAME PREPARE COMMAND ...  [--ratio A B METRIC ...]
//
// PREPARE is a shell command run before every run of the case and not timed
// (it resets a sandbox root, say); it must succeed. COMMAND is split at
// blanks and executed directly, without a shell: leading NAME=VALUE words
// are added to the environment, a word "<FILE" becomes standard input.
// Output goes to LOGS/NAME.log (default: discarded); a command that fails
// stops the comparison. --ratio adds the per-round ratio of case A to case B
// for METRIC (wall, cpu or rss). --results appends one tab-separated line
// per figure: title, case, metric, median, min, max (metrics wall, cpu, rss,
// and wall-ratio for CASE/FIRST and METRIC-ratio for A/B).
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds
  double rss = 0;   // MiB
};

struct Case {
  std::string name;
  std::string prepare;
  std::string command;
  std::vector<Sample> samples;
};

struct Ratio {
  std::size_t a = 0;
  std::size_t b = 0;
  std::string metric;
};

struct Settings {
  int rounds = 5;
  int warmup = 1;
  int pin = -1;
  std::string title = "comparison";
  std::string results;
  std::string logs;
};

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
};

Summary summarize(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  Summary s;
  if (values.empty()) return s;
  const std::size_t n = values.size();
  s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

double metricOf(const Sample& s, const std::string& metric) {
  if (metric == "cpu") return s.cpu;
  if (metric == "rss") return s.rss;
  return s.wall;
}

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "bench_compare: " << message << "\n";
  std::exit(1);
}

void runPrepare(const Case& c) {
  if (c.prepare.empty()) return;
  const int status = std::system(c.prepare.c_str());
  if (status != 0) fail("preparing " + c.name + " failed: " + c.prepare);
}

Sample runTimed(const Case& c, const Settings& settings) {
  std::vector<std::string> words;
  std::istringstream split(c.command);
  for (std::string word; split >> word;) words.push_back(word);
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  std::string input = "/dev/null";
  std::vector<std::string> args;
  for (const std::string& word : words) {
    if (word[0] == '<') {
      input = word.substr(1);
    } else if (args.empty() && word.find('=') != std::string::npos) {
      environment.push_back(word);
    } else {
      args.push_back(word);
    }
  }
  if (args.empty()) fail("empty command for " + c.name);
  const std::string log =
      settings.logs.empty() ? "/dev/null" : settings.logs + "/" + c.name + ".log";

  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    if (settings.pin >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(settings.pin, &set);
      sched_setaffinity(0, sizeof set, &set);
    }
    const int in = open(input.c_str(), O_RDONLY);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) fail("wait4 failed");
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(c.name + " failed (status " + std::to_string(status) + "): " + c.command +
         (settings.logs.empty() ? "" : " (see " + log + ")"));
  }
  Sample s;
  s.wall = static_cast<double>(end.tv_sec - start.tv_sec) +
           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  s.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  s.rss = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  return s;
}

std::string figure(const Summary& s, int precision) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(precision) << s.median << " (" << s.min << "-" << s.max
      << ")";
  return out.str();
}

void record(const Settings& settings, const std::string& name, const std::string& metric,
            const Summary& s) {
  if (settings.results.empty()) return;
  std::ofstream out(settings.results, std::ios::app);
  out << settings.title << '\t' << name << '\t' << metric << '\t' << s.median << '\t' << s.min
      << '\t' << s.max << '\n';
}

std::vector<double> ratios(const Case& a, const Case& b, const std::string& metric) {
  std::vector<double> values;
  for (std::size_t r = 0; r < a.samples.size() && r < b.samples.size(); ++r) {
    const double denominator = metricOf(b.samples[r], metric);
    values.push_back(denominator > 0 ? metricOf(a.samples[r], metric) / denominator : 0);
  }
  return values;
}

std::size_t caseIndex(const std::vector<Case>& cases, const std::string& name) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].name == name) return i;
  }
  fail("no case named " + name);
}

void report(const Settings& settings, const std::vector<Case>& cases,
            const std::vector<Ratio>& extra) {
  std::cout << "\n" << settings.title << " (" << settings.rounds << " rounds, median (min-max))\n";
  std::cout << std::left << std::setw(22) << "  command" << std::setw(22) << "wall s"
            << std::setw(22) << "CPU s" << std::setw(22) << "peak RSS MiB"
            << "wall / " << cases.front().name << "\n";
  for (const Case& c : cases) {
    std::vector<double> wall, cpu, rss;
    for (const Sample& s : c.samples) {
      wall.push_back(s.wall);
      cpu.push_back(s.cpu);
      rss.push_back(s.rss);
    }
    const Summary w = summarize(wall), u = summarize(cpu), m = summarize(rss);
    const Summary ratio = summarize(ratios(c, cases.front(), "wall"));
    std::cout << "  " << std::setw(20) << c.name << std::setw(22) << figure(w, 3) << std::setw(22)
              << figure(u, 3) << std::setw(22) << figure(m, 2) << figure(ratio, 3) << "\n";
    record(settings, c.name, "wall", w);
    record(settings, c.name, "cpu", u);
    record(settings, c.name, "rss", m);
    record(settings, c.name + "/" + cases.front().name, "wall-ratio", ratio);
  }
  for (const Ratio& r : extra) {
    const std::string name = cases[r.a].name + "/" + cases[r.b].name;
    const Summary s = summarize(ratios(cases[r.a], cases[r.b], r.metric));
    std::cout << "  " << r.metric << " ratio " << name << ": " << figure(s, 3) << "\n";
    record(settings, name, r.metric + "-ratio", s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::vector<Case> cases;
  std::vector<std::pair<std::vector<std::string>, std::string>> ratioNames;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](int count) {
      if (i + count >= argc) fail("missing value after " + arg);
    };
    if (arg == "--rounds") {
      value(1);
      settings.rounds = std::atoi(argv[++i]);
    } else if (arg == "--warmup") {
      value(1);
      settings.warmup = std::atoi(argv[++i]);
    } else if (arg == "--pin") {
      value(1);
      settings.pin = std::atoi(argv[++i]);
    } else if (arg == "--title") {
      value(1);
      settings.title = argv[++i];
    } else if (arg == "--results") {
      value(1);
      settings.results = argv[++i];
    } else if (arg == "--logs") {
      value(1);
      settings.logs = argv[++i];
    } else if (arg == "--case") {
      value(3);
      cases.push_back({argv[i + 1], argv[i + 2], argv[i + 3], {}});
      i += 3;
    } else if (arg == "--ratio") {
      value(3);
      ratioNames.push_back({{argv[i + 1], argv[i + 2]}, argv[i + 3]});
      i += 3;
    } else {
      fail("unknown argument " + arg);
    }
  }
  if (cases.empty() || settings.rounds < 1) fail("nothing to compare");
  std::vector<Ratio> extra;
  for (const auto& [names, metric] : ratioNames) {
    extra.push_back({caseIndex(cases, names[0]), caseIndex(cases, names[1]), metric});
  }

  for (int round = -settings.warmup; round < settings.rounds; ++round) {
    for (Case& c : cases) {
      runPrepare(c);
      const Sample s = runTimed(c, settings);
      if (round >= 0) c.samples.push_back(s);
    }
  }
  report(settings, cases, extra);
  return 0;
}
