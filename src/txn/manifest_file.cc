// The manifest file: one "U path", "L path text" or "M path source" line per
// entry, kept for a later "--commit" or "--cancel".
#include "txn/manifest_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "txn/file_io.h"
#include "txn/paths.h"

namespace installer {
namespace {

// Whether the entry's line reads back as the same target and source.
bool writable(std::string_view path, const ManifestEntry& entry) {
  return !path.empty() && path.find_first_of(" \n") == std::string_view::npos &&
         entry.source.find('\n') == std::string_view::npos;
}

struct Fields {
  std::string kind, path, rest;
  int count = 0;
};

// The kind and the path are words separated by blanks; the third field is
// the rest of the line after the blank that ends the path, blanks included.
Fields splitLine(const std::string& line) {
  Fields fields;
  std::size_t at = 0;
  std::string* words[] = {&fields.kind, &fields.path};
  for (std::string* word : words) {
    const std::size_t start = line.find_first_not_of(' ', at);
    if (start == std::string::npos) return fields;
    const std::size_t end = line.find(' ', start);
    *word = line.substr(start, end - start);
    ++fields.count;
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
  fields.rest = line.substr(at);
  ++fields.count;
  return fields;
}

}  // namespace

bool writeManifest(Manifest& m, const std::string& path) {
  if (m.planning != nullptr) return false;
  std::string text;
  for (const auto& [target, entry] : m.entries) {
    if (!writable(target, entry)) return false;
    switch (entry.op) {
      case ManifestOp::kRemove:
        text += "U ";
        text += target;
        break;
      case ManifestOp::kLink:
        text += "L ";
        text += target;
        text += ' ';
        text += entry.source;
        break;
      case ManifestOp::kMove:
      case ManifestOp::kMoveStaged:
        text += "M ";
        text += target;
        text += ' ';
        text += sourceOf(target, entry);
        break;
    }
    text += '\n';
  }
  // A later "--commit" must find either the old file or the complete new one.
  std::string temporary;
  const int fd = createTemporaryFile(m.temporaries, parentDir(path), temporary);
  if (fd < 0) return false;
  return replaceFromTemporary(fd, temporary, path, text, 0644) == ReplaceStep::kDone;
}

ManifestRead readManifest(Manifest& m, const std::string& path) {
  ManifestRead read;
  // A FIFO or a link at the manifest's name is no manifest.
  LineReader in(path.c_str());
  if (!in.opened()) return read;
  read.load = ManifestLoad::kMalformed;
  std::string line;
  bool whole = false;
  bool cut = false;  // the last line read had no newline
  for (;;) {
    // The end of the file after a whole line reads as an empty line, which
    // ends reading.
    if (!in.next(line, whole) && (in.failed() || cut)) break;
    if (line.empty()) break;
    cut = !whole;
    const Fields fields = splitLine(line);
    if (fields.count < 2) return read;
    if (fields.kind == "U") {
      setEntry(m, fields.path, ManifestOp::kRemove, "");
    } else if (fields.kind == "L" || fields.kind == "M") {
      if (fields.count < 3) return read;
      setEntry(m, fields.path, fields.kind == "L" ? ManifestOp::kLink : ManifestOp::kMove,
               fields.rest);
    }
    ++read.lines;
  }
  read.load = in.failed() ? ManifestLoad::kReadError : ManifestLoad::kLoaded;
  return read;
}

}  // namespace installer
