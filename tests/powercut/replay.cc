#include "powercut/replay.h"

#include <fcntl.h>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

namespace powercut {
namespace {

constexpr int kOutside = -2;
constexpr int kMaxLinkDepth = 40;

bool isMetadata(Effect::Kind kind) {
  return kind != Effect::Kind::kFlush && kind != Effect::Kind::kFlushAll;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// What an effect changes, for the weak model, which keeps the operations on
// one directory, or on one file's metadata, in order: a name operation
// changes its directories (and a directory it makes, moves or removes,
// which the names inside it stand on); a change of mode or size changes its
// file, not the name the file was made under.
std::vector<int> touched(const Effect& e, const Tree& live) {
  std::vector<int> nodes;
  if (e.kind == Effect::Kind::kChmod || e.kind == Effect::Kind::kTruncate) {
    nodes.push_back(e.node);
    return nodes;
  }
  if (e.dir >= 0) nodes.push_back(e.dir);
  if (e.dir2 >= 0 && e.dir2 != e.dir) nodes.push_back(e.dir2);
  if (e.node >= 0 && live.at(e.node).kind == NodeKind::kDirectory) nodes.push_back(e.node);
  if (e.replaced >= 0 && live.at(e.replaced).kind == NodeKind::kDirectory) {
    nodes.push_back(e.replaced);
  }
  return nodes;
}

}  // namespace

const char* modelName(Model model) {
  return model == Model::kOrderedMetadata ? "ordered-metadata" : "weak";
}

class ReplayBuilder {
 public:
  ReplayBuilder(Replay& replay, std::string hostRoot) : r_(replay), prefix_(std::move(hostRoot)) {
    while (prefix_.size() > 1 && prefix_.back() == '/') prefix_.pop_back();
    if (prefix_ == "/") prefix_.clear();
  }

  std::string follow(const std::vector<Call>& calls) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      call_ = i + 1;
      const std::string error = step(calls[i]);
      if (!error.empty()) return describe(calls[i]) + ": " + error;
    }
    for (const auto& [node, bytes] : liveData_) r_.live_.at(node).data = makeContent(bytes);
    computeDependencies();
    return {};
  }

 private:
  struct Place {
    int dir = -1;
    std::string name;
    int node = -1;
    std::string error;
  };

  // The path inside the tree, or none when the process looked outside it.
  std::optional<std::string> inTree(const std::string& path) {
    if (lost_) return std::nullopt;
    if (prefix_.empty()) return path;
    if (path == prefix_) return std::string("/");
    if (path.size() > prefix_.size() && path.compare(0, prefix_.size(), prefix_) == 0 &&
        path[prefix_.size()] == '/') {
      return path.substr(prefix_.size());
    }
    return std::nullopt;
  }

  Place place(const std::string& path, bool followFinal, int depth = 0) {
    Place result;
    if (depth > kMaxLinkDepth) {
      result.error = "too many links in " + path;
      return result;
    }
    const Tree& t = r_.live_;
    std::vector<int> stack{0};
    std::vector<std::string> names;
    const std::vector<std::string> parts = components(path);
    if (parts.empty()) {
      result.node = 0;
      return result;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const std::string& part = parts[i];
      if (part == ".") continue;
      if (part == "..") {
        if (stack.size() > 1) {
          stack.pop_back();
          names.pop_back();
        }
        continue;
      }
      const int dir = stack.back();
      if (t.at(dir).kind != NodeKind::kDirectory) {
        result.error = "not a directory on the way to " + path;
        return result;
      }
      const auto& entries = t.at(dir).entries;
      auto it = entries.find(part);
      const bool last = i + 1 == parts.size();
      if (it == entries.end()) {
        if (!last) {
          result.error = "no directory on the way to " + path;
          return result;
        }
        result.dir = dir;
        result.name = part;
        return result;
      }
      const Node& node = t.at(it->second);
      if (node.kind == NodeKind::kSymlink && (!last || followFinal)) {
        // Start again from the link's text, with the rest of the path.
        std::string here;
        for (const std::string& n : names) here += "/" + n;
        std::string next =
            node.data->bytes.starts_with("/") ? node.data->bytes : here + "/" + node.data->bytes;
        for (std::size_t j = i + 1; j < parts.size(); ++j) next += "/" + parts[j];
        return place(next, followFinal, depth + 1);
      }
      if (last) {
        result.dir = dir;
        result.name = part;
        result.node = it->second;
        return result;
      }
      stack.push_back(it->second);
      names.push_back(part);
    }
    // The path ended in "." or "..".
    result.node = stack.back();
    return result;
  }

  // Places a path of the record; `outside` is set when it lies outside the
  // tree.
  std::string placePath(const std::string& recorded, bool followFinal, Place& out, bool& outside) {
    if (recorded.starts_with("?")) return "a name relative to a descriptor not seen opened";
    const auto path = inTree(recorded);
    outside = !path;
    if (outside) return {};
    out = place(*path, followFinal);
    return out.error;
  }

  int newNode(NodeKind kind, unsigned mode, Content data) {
    Node node;
    node.kind = kind;
    node.mode = mode & 07777;
    node.data = std::move(data);
    r_.live_.nodes.emplace_back(std::move(node));
    return static_cast<int>(r_.live_.nodes.size()) - 1;
  }

  void add(Effect e) {
    e.call = call_;
    r_.effects_.push_back(std::move(e));
  }

  std::string create(const Place& at, NodeKind kind, unsigned mode, Content data = nullptr) {
    if (at.node >= 0) return "the name exists already";
    Effect e;
    e.kind = kind == NodeKind::kFile        ? Effect::Kind::kCreate
             : kind == NodeKind::kDirectory ? Effect::Kind::kMkdir
                                            : Effect::Kind::kSymlink;
    e.dir = at.dir;
    e.name = at.name;
    e.mode = mode & 07777;
    e.data = data;
    e.node = newNode(kind, mode, std::move(data));
    r_.live_.at(at.dir).entries[at.name] = e.node;
    lastCreated_ = e.node;
    add(std::move(e));
    return {};
  }

  // The descriptor's node; kOutside for a file outside the tree.
  std::string fdNode(int fd, int& node) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return "a descriptor the record did not open";
    node = it->second;
    return {};
  }

  std::string& dataOf(int node) {
    auto it = liveData_.find(node);
    if (it != liveData_.end()) return it->second;
    const Content& now = r_.live_.at(node).data;
    return liveData_[node] = now ? now->bytes : std::string();
  }

  std::string truncate(int node, std::uint64_t length) {
    if (r_.live_.at(node).kind != NodeKind::kFile) return "truncate of what is not a file";
    dataOf(node).resize(length, '\0');
    dirty_.insert(node);
    Effect e;
    e.kind = Effect::Kind::kTruncate;
    e.node = node;
    e.length = length;
    add(std::move(e));
    return {};
  }

  // The writes the replay saw must add up to the size the file had.
  std::string checkSize(const Call& c, int node) {
    if (c.size < 0 || node < 0 || r_.live_.at(node).kind != NodeKind::kFile) return {};
    const std::size_t seen = dataOf(node).size();
    if (seen == static_cast<std::size_t>(c.size)) return {};
    return "the file held " + std::to_string(c.size) + " bytes where the replay has " +
           std::to_string(seen) + ": writes the record did not see";
  }

  void snapshot(int node) {
    if (dirty_.erase(node) == 0) return;
    r_.flushed_[node].emplace_back(call_, makeContent(dataOf(node)));
  }

  std::string step(const Call& c) {
    Place at;
    bool outside = false;
    int node = -1;
    std::string error;
    switch (c.kind) {
      case CallKind::kOpen:
      case CallKind::kMkstemp: {
        const bool creates = c.kind == CallKind::kMkstemp || (c.flags & O_CREAT) != 0;
        const bool follows = c.kind == CallKind::kOpen && (c.flags & O_NOFOLLOW) == 0 &&
                             !((c.flags & O_CREAT) && (c.flags & O_EXCL));
        error = placePath(c.path, follows, at, outside);
        if (!error.empty()) return error;
        if (outside) {
          fds_[c.fd] = kOutside;
          return {};
        }
        const bool made = at.node < 0;
        if (made != (c.kind == CallKind::kMkstemp || c.created)) {
          return made ? "the replay lacks the file that was opened"
                      : "the replay has a file where the run made one";
        }
        if (made) {
          if (!creates) return "the replay lacks the file that was opened";
          error = create(at, NodeKind::kFile, c.mode);
          if (!error.empty()) return error;
          fds_[c.fd] = lastCreated_;
          return {};
        }
        fds_[c.fd] = at.node;
        const bool writes = (c.flags & O_ACCMODE) != O_RDONLY;
        if (c.kind == CallKind::kOpen && (c.flags & O_TRUNC) && writes) {
          return truncate(at.node, 0);
        }
        return {};
      }
      case CallKind::kWrite: {
        error = fdNode(c.fd, node);
        if (!error.empty() || node == kOutside) return error;
        if (r_.live_.at(node).kind != NodeKind::kFile) return "a write to what is not a file";
        std::string& bytes = dataOf(node);
        if (bytes.size() < c.offset + c.data.size()) bytes.resize(c.offset + c.data.size(), '\0');
        bytes.replace(c.offset, c.data.size(), c.data);
        dirty_.insert(node);
        return {};
      }
      case CallKind::kTruncate:
        error = fdNode(c.fd, node);
        if (!error.empty() || node == kOutside) return error;
        return truncate(node, c.length);
      case CallKind::kTruncatePath:
        error = placePath(c.path, true, at, outside);
        if (!error.empty() || outside) return error;
        if (at.node < 0) return "truncate of a name the replay does not have";
        return truncate(at.node, c.length);
      case CallKind::kRename:
      case CallKind::kLink: {
        Place to;
        bool toOutside = false;
        error = placePath(c.path, false, at, outside);
        if (error.empty()) error = placePath(c.path2, false, to, toOutside);
        if (!error.empty()) return error;
        if (outside && toOutside) return {};
        if (outside != toOutside) return "between the tree and outside it";
        if (at.node < 0) return "the replay lacks the source";
        Effect e;
        e.dir2 = to.dir;
        e.name2 = to.name;
        e.node = at.node;
        if (c.kind == CallKind::kLink) {
          if (to.node >= 0) return "the name exists already";
          // The source's directory stays unchanged; it is kept in `dir2`
          // so that the weak model keeps the link after what made the file.
          e.kind = Effect::Kind::kLink;
          e.dir = to.dir;
          e.name = to.name;
          e.dir2 = at.dir;
          e.name2.clear();
          r_.live_.at(to.dir).entries[to.name] = at.node;
          add(std::move(e));
          return {};
        }
        if (to.node == at.node) return {};  // one file under both names: nothing happens
        e.kind = Effect::Kind::kRename;
        e.dir = at.dir;
        e.name = at.name;
        e.replaced = to.node;
        r_.live_.at(at.dir).entries.erase(at.name);
        r_.live_.at(to.dir).entries[to.name] = at.node;
        add(std::move(e));
        return {};
      }
      case CallKind::kSymlink:
        error = placePath(c.path, false, at, outside);
        if (!error.empty() || outside) return error;
        return create(at, NodeKind::kSymlink, 0777, makeContent(c.path2));
      case CallKind::kMkdir:
        error = placePath(c.path, false, at, outside);
        if (!error.empty() || outside) return error;
        return create(at, NodeKind::kDirectory, c.mode);
      case CallKind::kUnlink:
      case CallKind::kRmdir: {
        error = placePath(c.path, false, at, outside);
        if (!error.empty() || outside) return error;
        if (at.node < 0) return "the replay lacks the name removed";
        const bool directory = r_.live_.at(at.node).kind == NodeKind::kDirectory;
        if (directory != (c.kind == CallKind::kRmdir))
          return "the kind of the name removed differs";
        if (directory && !r_.live_.at(at.node).entries.empty()) {
          return "the replay's directory is not empty";
        }
        Effect e;
        e.kind = directory ? Effect::Kind::kRmdir : Effect::Kind::kUnlink;
        e.dir = at.dir;
        e.name = at.name;
        e.node = at.node;
        r_.live_.at(at.dir).entries.erase(at.name);
        add(std::move(e));
        return {};
      }
      case CallKind::kChmod:
      case CallKind::kFchmod: {
        if (c.kind == CallKind::kChmod) {
          error = placePath(c.path, true, at, outside);
          if (!error.empty() || outside) return error;
          if (at.node < 0) return "chmod of a name the replay does not have";
          node = at.node;
        } else {
          error = fdNode(c.fd, node);
          if (!error.empty() || node == kOutside) return error;
        }
        r_.live_.at(node).mode = c.mode & 07777;
        Effect e;
        e.kind = Effect::Kind::kChmod;
        e.node = node;
        e.mode = c.mode & 07777;
        add(std::move(e));
        return {};
      }
      case CallKind::kFsync:
      case CallKind::kFdatasync: {
        error = fdNode(c.fd, node);
        if (!error.empty() || node == kOutside) return error;
        error = checkSize(c, node);
        if (!error.empty()) return error;
        snapshot(node);
        Effect e;
        e.kind = Effect::Kind::kFlush;
        e.node = node;
        e.dataOnly = c.kind == CallKind::kFdatasync;
        add(std::move(e));
        return {};
      }
      case CallKind::kSyncfs:
        error = fdNode(c.fd, node);
        if (!error.empty() || node == kOutside) return error;
        [[fallthrough]];
      case CallKind::kSync: {
        const std::vector<int> all(dirty_.begin(), dirty_.end());
        for (int n : all) snapshot(n);
        Effect e;
        e.kind = Effect::Kind::kFlushAll;
        add(std::move(e));
        return {};
      }
      case CallKind::kSyncFileRange:
        // Starts the writing back, promises nothing.
        return {};
      case CallKind::kClose: {
        auto it = fds_.find(c.fd);
        if (it == fds_.end()) return {};
        node = it->second;
        fds_.erase(it);
        return node == kOutside ? std::string() : checkSize(c, node);
      }
      case CallKind::kDup: {
        auto it = fds_.find(c.fd);
        if (it == fds_.end()) {
          fds_.erase(c.flags);
        } else {
          fds_[c.flags] = it->second;
        }
        return {};
      }
      case CallKind::kChroot: {
        const auto path = inTree(c.path);
        if (path && components(*path).empty()) {
          prefix_.clear();
        } else {
          lost_ = true;
        }
        return {};
      }
      case CallKind::kChdir:
        return {};  // the record's paths are absolute
    }
    return "an unknown call";
  }

  void computeDependencies() {
    std::map<int, std::size_t> last;
    r_.dependsOn_.assign(r_.effects_.size(), {});
    for (std::size_t i = 0; i < r_.effects_.size(); ++i) {
      const Effect& e = r_.effects_[i];
      if (!isMetadata(e.kind)) continue;
      for (int n : touched(e, r_.live_)) {
        auto it = last.find(n);
        if (it != last.end()) r_.dependsOn_[i].push_back(it->second);
        last[n] = i;
      }
    }
  }

  Replay& r_;
  std::string prefix_;
  bool lost_ = false;
  std::size_t call_ = 0;
  int lastCreated_ = -1;
  std::map<int, int> fds_;
  std::map<int, std::string> liveData_;
  std::set<int> dirty_;
};

ReplayOrError Replay::build(Tree initial, const std::vector<Call>& calls,
                            const std::string& hostRoot, std::vector<std::string> volatileDirs) {
  ReplayOrError result;
  Replay& r = result.replay;
  r.initialNodes_ = initial.nodes.size();
  r.live_ = initial;
  r.initial_ = std::move(initial);
  r.callCount_ = calls.size();
  r.volatileDirs_ = std::move(volatileDirs);
  ReplayBuilder builder(r, hostRoot);
  result.error = builder.follow(calls);
  return result;
}

namespace {

// Which metadata effects of the first `end` are covered by a later flush.
std::vector<char> coveredEffects(const std::vector<Effect>& effects, std::size_t end) {
  std::size_t lastAll = 0;  // one past the index of the last sync
  std::map<int, std::size_t> lastFull;
  std::map<int, std::size_t> lastAny;
  for (std::size_t i = 0; i < end; ++i) {
    const Effect& e = effects[i];
    if (e.kind == Effect::Kind::kFlushAll) lastAll = i + 1;
    if (e.kind == Effect::Kind::kFlush) {
      lastAny[e.node] = i + 1;
      if (!e.dataOnly) lastFull[e.node] = i + 1;
    }
  }
  auto flushedAfter = [](const std::map<int, std::size_t>& flushes, int node, std::size_t i) {
    auto it = flushes.find(node);
    return it != flushes.end() && it->second > i + 1;
  };
  std::vector<char> covered(end, 0);
  for (std::size_t i = 0; i < end; ++i) {
    const Effect& e = effects[i];
    if (!isMetadata(e.kind)) continue;
    if (i + 1 < lastAll) {
      covered[i] = 1;
      continue;
    }
    switch (e.kind) {
      case Effect::Kind::kChmod:
        covered[i] = flushedAfter(lastFull, e.node, i);
        break;
      case Effect::Kind::kTruncate:
        covered[i] = flushedAfter(lastAny, e.node, i);
        break;
      default:
        covered[i] =
            flushedAfter(lastFull, e.dir, i) && (e.dir2 < 0 || flushedAfter(lastFull, e.dir2, i));
        break;
    }
  }
  return covered;
}

std::size_t effectsUpTo(const std::vector<Effect>& effects, std::size_t cut) {
  return static_cast<std::size_t>(
      std::upper_bound(effects.begin(), effects.end(), cut,
                       [](std::size_t c, const Effect& e) { return c < e.call; }) -
      effects.begin());
}

std::string apply(Tree& t, const Effect& e) {
  auto directory = [&t](int n) { return t.has(n) && t.at(n).kind == NodeKind::kDirectory; };
  switch (e.kind) {
    case Effect::Kind::kCreate:
    case Effect::Kind::kMkdir:
    case Effect::Kind::kSymlink: {
      if (!directory(e.dir)) return "no directory to make " + e.name + " in";
      if (t.at(e.dir).entries.count(e.name) != 0) return e.name + " exists already";
      Node node;
      node.kind = e.kind == Effect::Kind::kCreate  ? NodeKind::kFile
                  : e.kind == Effect::Kind::kMkdir ? NodeKind::kDirectory
                                                   : NodeKind::kSymlink;
      node.mode = e.mode;
      node.data = e.data;
      t.nodes[static_cast<std::size_t>(e.node)] = std::move(node);
      t.at(e.dir).entries[e.name] = e.node;
      return {};
    }
    case Effect::Kind::kLink:
      if (!directory(e.dir) || !t.has(e.node)) return "nothing to link as " + e.name;
      t.at(e.dir).entries[e.name] = e.node;
      return {};
    case Effect::Kind::kRename: {
      if (!directory(e.dir) || !directory(e.dir2))
        return "no directory to rename " + e.name + " in";
      auto& from = t.at(e.dir).entries;
      auto it = from.find(e.name);
      if (it == from.end() || it->second != e.node) return "no " + e.name + " to rename";
      from.erase(it);
      t.at(e.dir2).entries[e.name2] = e.node;
      return {};
    }
    case Effect::Kind::kUnlink:
    case Effect::Kind::kRmdir: {
      if (!directory(e.dir)) return "no directory to remove " + e.name + " from";
      auto& entries = t.at(e.dir).entries;
      auto it = entries.find(e.name);
      if (it == entries.end() || it->second != e.node) return "no " + e.name + " to remove";
      entries.erase(it);
      return {};
    }
    case Effect::Kind::kChmod:
      // A file whose name did not persist: its mode is on the disk with it,
      // where nothing can reach it.
      if (t.has(e.node)) t.at(e.node).mode = e.mode;
      return {};
    case Effect::Kind::kTruncate:  // with the contents, below
    case Effect::Kind::kFlush:
    case Effect::Kind::kFlushAll:
      return {};
  }
  return "an unknown effect";
}

}  // namespace

std::size_t Replay::unflushedAt(std::size_t cut) const {
  const std::size_t end = effectsUpTo(effects_, cut);
  const std::vector<char> covered = coveredEffects(effects_, end);
  std::size_t count = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (isMetadata(effects_[i].kind) && !covered[i]) ++count;
  }
  return count;
}

Replay::Cut Replay::materialize(std::size_t cut, Model model, std::size_t keepUnflushed) const {
  Cut result;
  const std::size_t end = effectsUpTo(effects_, cut);
  std::vector<char> keep(end, 0);
  if (model == Model::kOrderedMetadata) {
    for (std::size_t i = 0; i < end; ++i) keep[i] = isMetadata(effects_[i].kind);
  } else {
    const std::vector<char> covered = coveredEffects(effects_, end);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < end; ++i) {
      if (!isMetadata(effects_[i].kind)) continue;
      if (covered[i]) {
        keep[i] = 1;
      } else if (kept < keepUnflushed) {
        keep[i] = 1;
        ++kept;
      }
    }
    for (std::size_t i = end; i-- > 0;) {
      if (!keep[i]) continue;
      for (std::size_t d : dependsOn_[i]) keep[d] = 1;
    }
  }

  Tree& t = result.tree;
  t = initial_;
  t.nodes.resize(live_.nodes.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (!keep[i]) continue;
    const std::string error = apply(t, effects_[i]);
    if (!error.empty()) {
      result.error = "call " + std::to_string(effects_[i].call) + ": " + error;
      return result;
    }
  }

  // The bytes: those of the last flush up to the cut, then the size
  // changes that persisted after it.
  std::map<int, std::size_t> flushedAt;
  for (const auto& [node, flushes] : flushed_) {
    if (!t.has(node)) continue;
    for (const auto& [call, data] : flushes) {
      if (call > cut) break;
      t.at(node).data = data;
      flushedAt[node] = call;
    }
  }
  for (std::size_t i = 0; i < end; ++i) {
    const Effect& e = effects_[i];
    if (!keep[i] || e.kind != Effect::Kind::kTruncate || !t.has(e.node)) continue;
    auto flushed = flushedAt.find(e.node);
    if (flushed != flushedAt.end() && flushed->second >= e.call) continue;
    Node& node = t.at(e.node);
    std::string bytes = node.data ? node.data->bytes : std::string();
    bytes.resize(e.length, '\0');
    node.data = makeContent(std::move(bytes));
  }
  for (std::size_t n = 0; n < t.nodes.size(); ++n) {
    if (t.nodes[n] && t.nodes[n]->kind == NodeKind::kFile && !t.nodes[n]->data) {
      t.nodes[n]->data = emptyContent();
    }
  }

  for (const std::string& dir : volatileDirs_) {
    const int n = t.find(dir);
    if (n >= 0 && t.at(n).kind == NodeKind::kDirectory) t.at(n).entries.clear();
  }
  return result;
}

}  // namespace powercut
