#include "watcher/listing.h"

namespace watcher {

bool isHiddenFile(std::string_view path) {
  const std::string_view base = baseName(path);
  return !base.empty() && base.front() == '.';
}

}  // namespace watcher
