// Fuzz target: the commit journal's decoder, as a start reads a journal that
// a cut or a worn flash may have garbled. The steps it accepts must survive a
// round trip: written again in the current form and decoded, they come back
// byte for byte, and writing those once more gives the same lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "txn/journal.h"

namespace {

using installer::JournalDecoder;
using installer::JournalEncoder;
using installer::JournalRecord;
using installer::JournalStep;

// The steps of `text` (lines after a header), up to the first line that is
// neither a step nor a mark; false when the header is not one it knows.
bool decodeSteps(std::string_view text, std::vector<JournalStep>& steps) {
  JournalDecoder decoder;
  std::size_t end = text.find('\n');
  if (end == std::string_view::npos || !decoder.start(text.substr(0, end))) return false;
  for (std::size_t start = end + 1; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string_view::npos) break;  // cut
    JournalStep step;
    const JournalRecord record = decoder.decode(text.substr(start, end - start), step);
    if (record == JournalRecord::kGarbled) break;
    if (record == JournalRecord::kStep) steps.push_back(std::move(step));
  }
  return true;
}

std::string encodeSteps(const std::vector<JournalStep>& steps) {
  std::string text = std::string(installer::kJournalHeader) + "\n";
  JournalEncoder encoder;
  for (const JournalStep& step : steps) encoder.append(step, text);
  return text;
}

bool same(const JournalStep& a, const JournalStep& b) {
  return a.kind == b.kind && a.path == b.path && a.other == b.other;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<JournalStep> steps;
  if (!decodeSteps(input, steps)) return 0;
  for (const JournalStep& step : steps) FUZZ_CHECK(!step.path.empty());

  const std::string written = encodeSteps(steps);
  std::vector<JournalStep> again;
  FUZZ_CHECK(decodeSteps(written, again));
  FUZZ_CHECK(again.size() == steps.size());
  for (std::size_t i = 0; i < steps.size(); ++i) FUZZ_CHECK(same(again[i], steps[i]));
  FUZZ_CHECK(encodeSteps(again) == written);
  return 0;
}
