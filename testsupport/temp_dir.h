// Helpers shared by the benchmark's tests.

#ifndef ZORVANE_BENCH_TEST_UTIL_H_
#define ZORVANE_BENCH_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace bench::test {

// A fresh directory, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/bench_test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const {
    return path_ + "/" + rel;
  }

 private:
  std::string path_;
};

// Writes `text` to `path`, replacing what was there.
inline void WriteFile(const std::string& path, const std::string& text = "x") {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace bench::test

#endif  // ZORVANE_BENCH_TEST_UTIL_H_
