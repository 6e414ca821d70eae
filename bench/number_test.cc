#include "bench/number.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bench {
namespace {

// What the harnesses accept on their command lines: known keys with a
// value, listed flags alone; anything else stops the run with its usage.
TEST(OptionListTest, AcceptsKnownOptionsAndFlagsOnly) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string seen;  // "key=value;" for each option taken
  };
  const Case cases[] = {
      {{}, true, ""},
      {{"--seed=7", "--fast"}, true, "seed=7;fast=;"},
      {{"--seed=7", "--seed=8"}, true, "seed=7;seed=8;"},
      {{"--seed="}, false, ""},
      {{"--fast=1"}, false, "fast=1;"},
      {{"--slow"}, false, ""},
      {{"-seed=7"}, false, ""},
      {{"seed"}, false, ""},
      {{"--other=1"}, false, "other=1;"},
      {{"--seed=7", "--other=1", "--seed=9"}, false, "seed=7;other=1;"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("prog")};
    for (const std::string& a : c.args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    std::string seen;
    const bool ok = ParseOptionList(
        static_cast<int>(argv.size()), argv.data(), {"--fast"},
        [&](std::string_view key, const std::string& value) {
          seen += std::string(key) + "=" + value + ";";
          return key == "seed" || (key == "fast" && value.empty());
        });
    EXPECT_EQ(ok, c.ok) << seen;
    EXPECT_EQ(seen, c.seen);
  }
}

}  // namespace
}  // namespace bench
