#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "watcher/path.h"

namespace watcher {

std::string cleanPath(std::string_view path) {
  if (path.empty()) return ".";
  const bool rooted = path.front() == '/';
  std::vector<std::string_view> elems;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view elem = path.substr(i, j - i);
    i = j + 1;
    if (elem.empty() || elem == ".") continue;
    if (elem == "..") {
      if (!elems.empty() && elems.back() != "..") {
        elems.pop_back();
      } else if (!rooted) {
        elems.push_back(elem);  // A relative path may climb; "/.." is "/".
      }
      continue;
    }
    elems.push_back(elem);
  }
  std::string out = rooted ? "/" : "";
  for (size_t k = 0; k < elems.size(); ++k) {
    if (k > 0) out += '/';
    out += elems[k];
  }
  return out.empty() ? "." : out;
}

std::string absPathIn(std::string_view dir, std::string_view path) {
  if (!path.empty() && path.front() == '/') return cleanPath(path);
  std::string joined(dir);
  joined += '/';
  joined += path;
  return cleanPath(joined);
}

Status absPath(std::string_view path, std::string* out) {
  if (!path.empty() && path.front() == '/') {
    *out = cleanPath(path);
    return Status();
  }
  std::string cwd(256, '\0');
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return Status("getwd: " + ErrnoText(errno));
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(cwd.find('\0'));
  *out = absPathIn(cwd, path);
  return Status();
}

std::string_view parentDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool covers(std::string_view dir, std::string_view path) {
  if (!path.starts_with(dir)) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

std::string_view baseName(std::string_view path) {
  if (path == "/") return path;
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace watcher
