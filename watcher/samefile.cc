#include "watcher/listing.h"

namespace watcher {

bool sameFile(const FileInfo& fi1, const FileInfo& fi2) {
  return fi1.sys && fi2.sys && fi1.sys->dev == fi2.sys->dev &&
         fi1.sys->ino == fi2.sys->ino;
}

}  // namespace watcher
