#include "bench/tree_changer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <system_error>

namespace bench {

namespace {

std::string Failure(const char* op, const std::string& path, int err) {
  return std::string(op) + " " + path + ": " + strerror(err);
}

std::string FolderOf(const std::string& rel) {
  const size_t slash = rel.rfind('/');
  return slash == std::string::npos ? "" : rel.substr(0, slash);
}

// Relative weights of the kinds, in ChangeKind's order.
constexpr int kWeights[kChangeKinds] = {35, 15, 10, 15, 15, 10};

}  // namespace

const char* ChangeKindName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kEdit:
      return "edit";
    case ChangeKind::kCreate:
      return "create";
    case ChangeKind::kRenameWithin:
      return "rename within";
    case ChangeKind::kRenameAcross:
      return "rename across";
    case ChangeKind::kDelete:
      return "delete";
    case ChangeKind::kReplaceFolder:
      return "replace folder";
  }
  return "?";
}

TreeChanger::TreeChanger(std::string root, const TreePlan& plan, uint64_t seed)
    : root_(std::move(root)), random_(seed) {
  std::set<std::string> parents;
  for (const PlannedEntry& e : plan.entries) {
    if (e.dir) {
      folders_.push_back(e.path);
      parents.insert(FolderOf(e.path));
    } else {
      files_.push_back(e.path);
    }
  }
  for (const std::string& f : folders_) {
    if (!parents.contains(f)) leaves_.push_back(f);
  }
}

std::string TreeChanger::Change(ChangeKind* kind) {
  int total = 0;
  for (int w : kWeights) total += w;
  int pick = random_.Between(0, total - 1);
  int k = 0;
  while (pick >= kWeights[k]) pick -= kWeights[k++];
  *kind = static_cast<ChangeKind>(k);
  // A tree whose files were all deleted gets new ones first.
  if (files_.empty()) *kind = ChangeKind::kCreate;
  switch (*kind) {
    case ChangeKind::kEdit:
      return Edit();
    case ChangeKind::kCreate:
      return Create();
    case ChangeKind::kRenameWithin:
      return Rename(false);
    case ChangeKind::kRenameAcross:
      return Rename(true);
    case ChangeKind::kDelete:
      return Delete();
    case ChangeKind::kReplaceFolder:
      return ReplaceFolder();
  }
  return "unknown change";
}

const std::string& TreeChanger::AnyFolder() {
  return folders_[static_cast<size_t>(random_.Next() % folders_.size())];
}

std::string TreeChanger::NewName(const std::string& folder, const char* stem) {
  return folder + "/" + stem + "-" + std::to_string(++serial_) + ".js";
}

std::string TreeChanger::Edit() {
  return WriteInOne(Path(files_[AnyFile()]), O_WRONLY | O_APPEND,
                    "// soak edit " + std::to_string(++serial_) + "\n");
}

std::string TreeChanger::Create() {
  const std::string rel = NewName(AnyFolder(), "added");
  if (std::string err = WriteInOne(Path(rel), O_WRONLY | O_CREAT | O_EXCL,
                                   "export const added = 1;\n");
      !err.empty()) {
    return err;
  }
  files_.push_back(rel);
  return "";
}

std::string TreeChanger::Rename(bool across) {
  const size_t i = AnyFile();
  const std::string folder = across ? AnyFolder() : FolderOf(files_[i]);
  const std::string to = NewName(folder, across ? "moved" : "renamed");
  if (rename(Path(files_[i]).c_str(), Path(to).c_str()) != 0) {
    return Failure("rename", Path(files_[i]), errno);
  }
  files_[i] = to;
  return "";
}

std::string TreeChanger::Delete() {
  const size_t i = AnyFile();
  if (unlink(Path(files_[i]).c_str()) != 0) {
    return Failure("unlink", Path(files_[i]), errno);
  }
  files_[i] = files_.back();
  files_.pop_back();
  return "";
}

std::string TreeChanger::ReplaceFolder() {
  const std::string& folder =
      leaves_[static_cast<size_t>(random_.Next() % leaves_.size())];
  // A leaf folder holds files only, and since only files move, it stays a
  // leaf: its files are those whose folder it is.
  std::vector<std::string> held;
  for (const std::string& f : files_) {
    if (FolderOf(f) == folder) held.push_back(f);
  }
  // Written again with a file at least, so that the change is one the
  // pattern matches even when the folder's files had all moved away.
  if (held.empty()) {
    held.push_back(NewName(folder, "added"));
    files_.push_back(held.back());
  }
  std::error_code ec;
  std::filesystem::remove_all(Path(folder), ec);
  if (ec) return "remove " + Path(folder) + ": " + ec.message();
  if (mkdir(Path(folder).c_str(), 0755) != 0) {
    return Failure("mkdir", Path(folder), errno);
  }
  const std::string text =
      "// written again " + std::to_string(++serial_) + "\n";
  for (const std::string& f : held) {
    if (std::string err =
            WriteInOne(Path(f), O_WRONLY | O_CREAT | O_EXCL, text);
        !err.empty()) {
      return err;
    }
  }
  return "";
}

}  // namespace bench
