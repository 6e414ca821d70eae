#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "watcher/reference.h"

namespace watcher {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Opens the directory `name` relative to `at`. Every descriptor is opened
// close-on-exec: other threads of the process spawn children at any time.
DirPtr openDir(int at, const char* name, bool followLinks, int* err) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLinks) flags |= O_NOFOLLOW;
  const int fd = openat(at, name, flags);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    *err = errno;
    close(fd);
  }
  return DirPtr(dir);
}

// An entry of a directory with its own status.
struct Entry {
  std::string name;
  struct stat st;
};

std::string joinPath(const std::string& dir, const std::string& name) {
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path = dir;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

// Reads the entries of `dir` (whose path is `dirPath`) sorted by name, each
// with its status read relative to the directory, links not followed. An
// entry gone or replaced since the read (ENOENT, ENOTDIR) is left out.
Status readEntries(DIR* dir, const std::string& dirPath,
                   std::vector<Entry>* out) {
  std::vector<std::string> names;
  for (;;) {
    errno = 0;  // readdir tells the end from a failure only by errno.
    const dirent* de = readdir(dir);
    if (de == nullptr) {
      if (errno != 0) return Status::PathError("readdirent", dirPath, errno);
      break;
    }
    const std::string_view name = de->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  out->reserve(names.size());
  const int fd = dirfd(dir);
  for (std::string& name : names) {
    Entry& e = out->emplace_back();
    if (fstatat(fd, name.c_str(), &e.st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      out->pop_back();
      if (err == ENOENT || err == ENOTDIR) continue;
      return Status::PathError("lstat", joinPath(dirPath, name), err);
    }
    e.name = std::move(name);
  }
  return Status();
}

// What a filter decides about one path.
enum class Verdict { kKeep, kSkip, kFail };

// Calls the hooks in order; ErrSkip stops at once. On kFail, `*err` is the
// hook's error.
Verdict runHooks(const ListFilters& f, const FileInfo& info,
                 const std::string& path, Status* err) {
  if (f.hooks == nullptr) return Verdict::kKeep;
  for (const FilterFileHookFunc& hook : *f.hooks) {
    Status s = hook(info, path);
    if (s.ok()) continue;
    if (s == ErrSkip) return Verdict::kSkip;
    *err = std::move(s);
    return Verdict::kFail;
  }
  return Verdict::kKeep;
}

// True when the last element of `path` begins with ".".
bool isHiddenFile(std::string_view path) {
  const std::string_view base = baseName(path);
  return !base.empty() && base.front() == '.';
}

bool ignoredOrHidden(const ListFilters& f, const std::string& path) {
  // An empty set is the rule: skip hashing every path for it.
  if (f.ignored != nullptr && !f.ignored->empty() &&
      f.ignored->count(path) != 0) {
    return true;
  }
  return f.ignoreHidden && isHiddenFile(path);
}

class TreeWalk {
 public:
  TreeWalk(const ListFilters& filters, Listing* out,
           std::vector<Status>* unreadable)
      : f_(filters), out_(out), unreadable_(unreadable) {}

  Status Run(const std::string& root) {
    struct stat st;
    if (lstat(root.c_str(), &st) != 0) {
      return Status::PathError("lstat", root, errno);
    }
    // A root given as a link ("/app -> /workspace/app") is walked as what it
    // points to, under the name given; a dangling one does not exist. Links
    // below the root stay links.
    if (S_ISLNK(st.st_mode) && stat(root.c_str(), &st) != 0) {
      return Status::PathError("stat", root, errno);
    }
    bool enter = false;
    Status s = visit(root, FileInfo::FromStat(std::string(baseName(root)), st),
                     &enter);
    if (!s.ok() || !enter) return s;
    int err = 0;
    DirPtr dir = openDir(AT_FDCWD, root.c_str(), /*followLinks=*/true, &err);
    if (!dir) return Status::PathError("open", root, err);
    return walkDir(dir.get(), root, /*isRoot=*/true);
  }

 private:
  // Applies the hooks and the tests to one path and records it. `*enter`
  // tells whether a directory's contents are to be walked.
  Status visit(std::string path, FileInfo info, bool* enter) {
    const bool isDir = info.IsDir();
    Status err;
    switch (runHooks(f_, info, path, &err)) {
      case Verdict::kFail:
        return err;
      case Verdict::kSkip:
        // Left out, but a directory is still entered: its entries are
        // judged each by itself.
        *enter = isDir;
        return Status();
      case Verdict::kKeep:
        break;
    }
    if (ignoredOrHidden(f_, path)) {
      *enter = false;
      return Status();
    }
    out_->insert_or_assign(std::move(path), std::move(info));
    *enter = isDir;
    return Status();
  }

  Status walkDir(DIR* dir, const std::string& dirPath, bool isRoot) {
    std::vector<Entry> entries;
    if (Status s = readEntries(dir, dirPath, &entries); !s.ok()) {
      if (isRoot) return s;
      // An unreadable directory below the root loses its contents only;
      // stopping here would drop every later entry of the tree from the
      // listing, and the next cycle would report them all as removed.
      unreadable_->push_back(std::move(s));
      return Status();
    }
    for (Entry& e : entries) {
      std::string path = joinPath(dirPath, e.name);
      if (!S_ISDIR(e.st.st_mode)) {
        // Nothing of a file is needed after its visit: hand its texts over
        // rather than copy them.
        bool enter = false;
        Status s = visit(std::move(path),
                         FileInfo::FromStat(std::move(e.name), e.st), &enter);
        if (!s.ok()) return s;
        continue;
      }
      bool enter = false;
      Status s = visit(path, FileInfo::FromStat(e.name, e.st), &enter);
      if (!s.ok()) return s;
      if (!enter) continue;
      int err = 0;
      DirPtr sub = openDir(dirfd(dir), e.name.c_str(), false, &err);
      if (!sub) {
        // Gone, or replaced by a file or a link, since it was read: its
        // contents are simply not there in this listing.
        if (err == ENOENT || err == ENOTDIR || err == ELOOP) continue;
        unreadable_->push_back(Status::PathError("open", path, err));
        continue;
      }
      s = walkDir(sub.get(), path, /*isRoot=*/false);
      if (!s.ok()) return s;
    }
    return Status();
  }

  const ListFilters& f_;
  Listing* out_;
  std::vector<Status>* unreadable_;
};

}  // namespace

Status list(const std::string& name, const ListFilters& filters, Listing* out) {
  out->clear();
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    return Status::PathError("stat", name, errno);
  }
  Listing listing;
  listing.emplace(name, FileInfo::FromStat(std::string(baseName(name)), st));
  if (!S_ISDIR(st.st_mode)) {
    *out = std::move(listing);
    return Status();
  }
  int err = 0;
  DirPtr dir = openDir(AT_FDCWD, name.c_str(), true, &err);
  if (!dir) return Status::PathError("open", name, err);
  std::vector<Entry> entries;
  if (Status s = readEntries(dir.get(), name, &entries); !s.ok()) return s;
  for (Entry& e : entries) {
    std::string path = joinPath(name, e.name);
    if (ignoredOrHidden(filters, path)) continue;
    FileInfo info = FileInfo::FromStat(std::move(e.name), e.st);
    Status hookErr;
    switch (runHooks(filters, info, path, &hookErr)) {
      case Verdict::kFail:
        return hookErr;
      case Verdict::kSkip:
        continue;
      case Verdict::kKeep:
        listing.insert_or_assign(std::move(path), std::move(info));
    }
  }
  *out = std::move(listing);
  return Status();
}

Status listRecursive(const std::string& name, const ListFilters& filters,
                     Listing* out, std::vector<Status>* unreadable) {
  return TreeWalk(filters, out, unreadable).Run(name);
}

}  // namespace watcher
