#include <array>
#include <string>

#include "text/quote.h"
#include "watcher/event.h"

namespace watcher {

FileInfo FileInfo::FromStat(std::string name, const struct stat& st) {
  FileInfo fi;
  fi.name = std::move(name);
  fi.size = st.st_size;
  fi.mode = st.st_mode;
  fi.modTime = Time(std::chrono::seconds(st.st_mtim.tv_sec) +
                    std::chrono::nanoseconds(st.st_mtim.tv_nsec));
  fi.sys = FileInfo::Sys{static_cast<uint64_t>(st.st_dev),
                         static_cast<uint64_t>(st.st_ino)};
  return fi;
}

namespace {

constexpr std::array<std::string_view, 6> kOps = {
    "CREATE", "WRITE", "REMOVE", "RENAME", "CHMOD", "MOVE",
};

}  // namespace

std::string_view String(Op op) {
  const auto i = static_cast<uint32_t>(op);
  return i < kOps.size() ? kOps[i] : "???";
}

bool sameFile(const FileInfo& fi1, const FileInfo& fi2) {
  return fi1.sys && fi2.sys && fi1.sys->dev == fi2.sys->dev &&
         fi1.sys->ino == fi2.sys->ino;
}

std::string Event::String() const {
  if (!FileInfo) return "???";
  std::string out = FileInfo->IsDir() ? "DIRECTORY " : "FILE ";
  out += text::Quote(FileInfo->name);
  out += ' ';
  out += watcher::String(Op);
  out += " [";
  out += Path;
  out += ']';
  return out;
}

}  // namespace watcher
