// Scratch folders and files for tests.

#ifndef ZORVANE_TESTSUPPORT_TEMP_DIR_H_
#define ZORVANE_TESTSUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace testsupport {

/// A fresh directory /tmp/`prefix`XXXXXX, removed with its contents when
/// the object goes; path() is "" when it could not be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zorvane-test.") {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory.
  const std::string& path() const { return path_; }
  /// The path `rel` inside it.
  std::string operator/(const std::string& rel) const {
    return path_ + "/" + rel;
  }

 private:
  std::string path_;
};

/// Writes `text` to `path`, replacing what was there.
inline void WriteFile(const std::string& path, const std::string& text = "x") {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace testsupport

#endif  // ZORVANE_TESTSUPPORT_TEMP_DIR_H_
