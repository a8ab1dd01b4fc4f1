#include "powercut/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace powercut {
namespace {

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const std::string& bytes) {
    EVP_DigestUpdate(context_, bytes.data(), bytes.size());
    // A separator, so that fields cannot run into each other.
    EVP_DigestUpdate(context_, "\0", 1);
  }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest, &size);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
      text += kHex[digest[i] >> 4];
      text += kHex[digest[i] & 15];
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
};

std::string errorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string loadInto(Tree& tree, int self, const std::string& dir,
                     std::map<std::pair<dev_t, ino_t>, int>& seen) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return errorText("cannot list", dir);
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errorText("cannot stat", path);
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    if (!S_ISDIR(st.st_mode)) {
      auto known = seen.find(key);
      if (known != seen.end()) {
        tree.at(self).entries[name] = known->second;
        continue;
      }
    }
    Node node;
    node.mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      node.kind = NodeKind::kDirectory;
    } else if (S_ISREG(st.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      if (!in) return errorText("cannot read", path);
      node.data = makeContent(
          std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    } else if (S_ISLNK(st.st_mode)) {
      node.kind = NodeKind::kSymlink;
      std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
      const ssize_t size = readlink(path.c_str(), text.data(), text.size());
      if (size < 0) return errorText("cannot read the link", path);
      text.resize(static_cast<std::size_t>(size));
      node.data = makeContent(std::move(text));
    } else {
      return "neither a file, a directory nor a link: " + path;
    }
    const int number = static_cast<int>(tree.nodes.size());
    tree.nodes.emplace_back(std::move(node));
    tree.at(self).entries[name] = number;
    seen[key] = number;
    if (S_ISDIR(st.st_mode)) {
      const std::string error = loadInto(tree, number, path, seen);
      if (!error.empty()) return error;
    }
  }
  return {};
}

std::string writeNode(const Tree& tree, int number, const std::string& path,
                      std::map<int, std::string>& written) {
  const Node& node = tree.at(number);
  switch (node.kind) {
    case NodeKind::kDirectory:
      if (number != 0 && mkdir(path.c_str(), 0700) != 0) return errorText("cannot make", path);
      for (const auto& [name, child] : node.entries) {
        if (!tree.has(child)) return "a name leads to no node: " + path + "/" + name;
        const std::string error = writeNode(tree, child, path + "/" + name, written);
        if (!error.empty()) return error;
      }
      // Last, so that a directory without write permission could be filled.
      if (number != 0 && chmod(path.c_str(), node.mode) != 0) return errorText("chmod", path);
      return {};
    case NodeKind::kSymlink:
      if (symlink(node.data->bytes.c_str(), path.c_str()) != 0) {
        return errorText("cannot link", path);
      }
      return {};
    case NodeKind::kFile:
      break;
  }
  auto first = written.find(number);
  if (first != written.end()) {
    if (link(first->second.c_str(), path.c_str()) != 0) return errorText("cannot link", path);
    return {};
  }
  written[number] = path;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errorText("cannot create", path);
  const std::string& bytes = node.data ? node.data->bytes : emptyContent()->bytes;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) {
      close(fd);
      return errorText("cannot write", path);
    }
    done += static_cast<std::size_t>(put);
  }
  const bool modeSet = fchmod(fd, node.mode) == 0;
  close(fd);
  if (!modeSet) return errorText("chmod", path);
  return {};
}

void hashNode(const Tree& tree, int number, const std::string& path, Sha256& sum) {
  const Node& node = tree.at(number);
  sum.add(path);
  sum.add(std::to_string(static_cast<int>(node.kind)) + " " + std::to_string(node.mode));
  if (node.kind == NodeKind::kDirectory) {
    for (const auto& [name, child] : node.entries) {
      if (tree.has(child)) hashNode(tree, child, path + "/" + name, sum);
    }
    return;
  }
  sum.add(node.data ? node.data->digest : emptyContent()->digest);
}

}  // namespace

Blob::Blob(std::string b) : bytes(std::move(b)) {
  Sha256 sum;
  sum.add(bytes);
  digest = sum.hex();
}

Content makeContent(std::string bytes) { return std::make_shared<const Blob>(std::move(bytes)); }

const Content& emptyContent() {
  static const Content empty = makeContent({});
  return empty;
}

int Tree::find(const std::string& path) const {
  int at = 0;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (!has(at) || this->at(at).kind != NodeKind::kDirectory) return -1;
      const auto& entries = this->at(at).entries;
      auto it = entries.find(path.substr(start, end - start));
      if (it == entries.end()) return -1;
      at = it->second;
    }
    start = end + 1;
  }
  return has(at) ? at : -1;
}

TreeOrError loadTree(const std::string& dir) {
  TreeOrError result;
  Node root;
  root.kind = NodeKind::kDirectory;
  root.mode = 0755;
  result.tree.nodes.emplace_back(std::move(root));
  std::map<std::pair<dev_t, ino_t>, int> seen;
  result.error = loadInto(result.tree, 0, dir, seen);
  return result;
}

std::string writeTree(const Tree& tree, const std::string& dir) {
  if (!tree.has(0)) return "the tree has no root";
  std::map<int, std::string> written;
  return writeNode(tree, 0, dir, written);
}

std::string fingerprint(const Tree& tree) {
  Sha256 sum;
  if (tree.has(0)) hashNode(tree, 0, "", sum);
  return sum.hex();
}

}  // namespace powercut
