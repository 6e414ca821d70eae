// Fuzzes the environment reader: the input, split at NUL bytes, gives the
// values of every ZORVANE_ variable at once (in the order of kVariables;
// missing ones are empty). Checks what must hold of any configuration the
// reader hands back, whatever the values.

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/config.h"
#include "fuzz/fuzz_util.h"
#include "klog/klog.h"
#include "supervise/stop.h"

namespace {

using controller::Configuration;
using controller::kSecond;
using supervise::StopClock;

constexpr std::array<const char*, 17> kVariables = {
    "ZORVANE_RUN",
    "ZORVANE_DEBUG",
    "ZORVANE_TEST",
    "ZORVANE_RUN_ON_CHANGE",
    "ZORVANE_DEBUG_ON_CHANGE",
    "ZORVANE_TEST_ON_CHANGE",
    "ZORVANE_RUN_KILL",
    "ZORVANE_DEBUG_KILL",
    "ZORVANE_TEST_KILL",
    "ZORVANE_PREP",
    "ZORVANE_INSTALL",
    "ZORVANE_WATCH_DIR",
    "ZORVANE_MOUNTS",
    "ZORVANE_WATCH_IGNORE_DIR",
    "ZORVANE_WATCH_REGEX",
    "ZORVANE_WATCH_INTERVAL",
    "ZORVANE_STOP_TIMEOUT",
};

// Seconds written as one to nine plain digits, the only texts whose value
// the check predicts; other texts are covered by the whole-seconds check.
std::optional<int64_t> PlainSeconds(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// A duration read from `raw`: whole seconds, the default for an empty
// text, and the value of plain digits.
void CheckSeconds(const char* what, const std::string& raw,
                  controller::Duration got, int64_t defaultSeconds) {
  FUZZ_CHECK(got.ns % kSecond == 0, "%s %s from %s", what, got.String().c_str(),
             fuzz::Show(raw).c_str());
  const std::optional<int64_t> want =
      raw.empty() ? defaultSeconds : PlainSeconds(raw);
  FUZZ_CHECK(!want || got.ns == *want * kSecond, "%s %s from %s", what,
             got.String().c_str(), fuzz::Show(raw).c_str());
}

// The text after the last ":" of a mount.
std::string_view ContainerPath(std::string_view mount) {
  return mount.substr(mount.rfind(':') + 1);
}

// A list read from `raw`: absent for an empty text, else, in order, one
// entry per ";"-separated piece (or the part of it `part` picks), without
// the white space at either end. An entry left empty may be left out.
void CheckList(const char* what, const std::string& raw,
               const std::optional<std::vector<std::string>>& list,
               std::string_view (*part)(std::string_view)) {
  FUZZ_CHECK(list.has_value() == !raw.empty(), "%s present: %d", what,
             list.has_value());
  if (!list) return;
  std::size_t next = 0;
  for (std::string_view piece : fuzz::Split(raw, ';')) {
    const std::string_view want = fuzz::ReferenceTrim(part(piece));
    if (next < list->size() && (*list)[next] == want) {
      ++next;
    } else {
      FUZZ_CHECK(want.empty(), "%s: no entry %s for %s", what,
                 fuzz::Show(want).c_str(), fuzz::Show(raw).c_str());
    }
  }
  FUZZ_CHECK(next == list->size(), "%s: %zu entries for %s", what, list->size(),
             fuzz::Show(raw).c_str());
}

std::string_view Whole(std::string_view piece) {
  return piece;
}

bool SameConfig(const Configuration& a, const Configuration& b) {
  return a.zorvaneRUN == b.zorvaneRUN && a.zorvaneDEBUG == b.zorvaneDEBUG &&
         a.zorvaneTEST == b.zorvaneTEST &&
         a.zorvaneRUNWATCHACTION == b.zorvaneRUNWATCHACTION &&
         a.zorvaneDEBUGWATCHACTION == b.zorvaneDEBUGWATCHACTION &&
         a.zorvaneTESTWATCHACTION == b.zorvaneTESTWATCHACTION &&
         a.zorvaneRUNKILL == b.zorvaneRUNKILL &&
         a.zorvaneDEBUGKILL == b.zorvaneDEBUGKILL &&
         a.zorvaneTESTKILL == b.zorvaneTESTKILL &&
         a.zorvaneINSTALL == b.zorvaneINSTALL &&
         a.zorvanePREP == b.zorvanePREP &&
         a.zorvaneWATCHREGEX == b.zorvaneWATCHREGEX &&
         a.zorvaneWATCHINTERVAL == b.zorvaneWATCHINTERVAL &&
         a.zorvaneSTOPTIMEOUT == b.zorvaneSTOPTIMEOUT &&
         a.zorvaneWATCHDIRS == b.zorvaneWATCHDIRS &&
         a.zorvaneWATCHIGNOREDIR == b.zorvaneWATCHIGNOREDIR &&
         a.zorvaneMOUNTS == b.zorvaneMOUNTS;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The Warning lines for bad numbers are formatted and written, to
  // /dev/null, so the fuzzer's own output stays readable. Debug lines stay
  // off: they only copy the values, and would cut the runs per second to a
  // quarter.
  klog::test_hooks::SetOutputFd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<std::string> pieces =
      fuzz::SplitAtNul(fuzz::AsText(data, size));
  std::map<std::string, std::string, std::less<>> env;
  for (std::size_t i = 0; i < kVariables.size(); ++i) {
    env[kVariables[i]] = i < pieces.size() ? pieces[i] : "";
  }
  auto lookup = [&env](const char* name) {
    auto it = env.find(std::string_view(name));
    FUZZ_CHECK(it != env.end(), "%s is read but not fuzzed", name);
    return it->second;
  };
  auto raw = [&env](const char* name) -> const std::string& {
    return env.find(std::string_view(name))->second;
  };

  Configuration c;
  const controller::Status status =
      controller::setupEnvironmentVars(&c, lookup);

  CheckSeconds("interval", raw("ZORVANE_WATCH_INTERVAL"),
               c.zorvaneWATCHINTERVAL, 2);
  CheckSeconds("stop timeout", raw("ZORVANE_STOP_TIMEOUT"),
               c.zorvaneSTOPTIMEOUT, 10);
  FUZZ_CHECK(c.zorvaneSTOPTIMEOUT.ns >= 0, "stop timeout %s",
             c.zorvaneSTOPTIMEOUT.String().c_str());
  // A stop's deadline comes after its start, however long the timeout and
  // however late the clock: it saturates, never wraps into the past (the
  // plain sum is a signed overflow, which UBSan reports).
  const auto timeout = std::chrono::nanoseconds(c.zorvaneSTOPTIMEOUT.ns);
  const StopClock::time_point last = StopClock::time_point::max();
  for (const StopClock::time_point from :
       {StopClock::now(), last - std::chrono::hours(1), last}) {
    const StopClock::time_point deadline =
        supervise::DeadlineAfter(from, timeout);
    FUZZ_CHECK(
        deadline >= from && (deadline == last || deadline - from == timeout),
        "deadline %lld after %lld for %s",
        static_cast<long long>(deadline.time_since_epoch().count()),
        static_cast<long long>(from.time_since_epoch().count()),
        c.zorvaneSTOPTIMEOUT.String().c_str());
  }

  // Commands are taken as they are.
  FUZZ_CHECK(c.zorvaneRUN == raw("ZORVANE_RUN") &&
                 c.zorvaneDEBUG == raw("ZORVANE_DEBUG") &&
                 c.zorvaneTEST == raw("ZORVANE_TEST") &&
                 c.zorvaneRUNWATCHACTION == raw("ZORVANE_RUN_ON_CHANGE") &&
                 c.zorvaneDEBUGWATCHACTION == raw("ZORVANE_DEBUG_ON_CHANGE") &&
                 c.zorvaneTESTWATCHACTION == raw("ZORVANE_TEST_ON_CHANGE") &&
                 c.zorvaneINSTALL == raw("ZORVANE_INSTALL"),
             "a command was changed");
  const std::string& prep = raw("ZORVANE_PREP");
  FUZZ_CHECK(c.zorvanePREP == (prep.empty() ? raw("ZORVANE_INSTALL") : prep),
             "preparation command %s", fuzz::Show(c.zorvanePREP).c_str());
  const std::string& regex = raw("ZORVANE_WATCH_REGEX");
  FUZZ_CHECK(c.zorvaneWATCHREGEX ==
                 (regex.empty() ? controller::kDefaultWatchRegex : regex),
             "watch pattern %s", fuzz::Show(c.zorvaneWATCHREGEX).c_str());
  const std::pair<const char*, bool> kills[] = {
      {"ZORVANE_RUN_KILL", c.zorvaneRUNKILL},
      {"ZORVANE_DEBUG_KILL", c.zorvaneDEBUGKILL},
      {"ZORVANE_TEST_KILL", c.zorvaneTESTKILL},
  };
  for (const auto& [name, kill] : kills) {
    if (fuzz::IsAscii(raw(name))) {
      FUZZ_CHECK(kill == fuzz::ReferenceKillForAscii(raw(name)),
                 "%s=%s gave %d", name, fuzz::Show(raw(name)).c_str(), kill);
    }
  }

  // The errors, in the order they are checked.
  const std::string error = status.ok() ? "" : status.Error();
  if (c.zorvaneRUN.empty() && c.zorvaneDEBUG.empty() && c.zorvaneTEST.empty()) {
    const controller::envError want{"ZORVANE_DEBUG", "ZORVANE_RUN",
                                    "ZORVANE_TEST"};
    FUZZ_CHECK(error == want.Error(), "error %s", fuzz::Show(error).c_str());
  } else if ((!c.zorvaneRUNWATCHACTION.empty() ||
              !c.zorvaneDEBUGWATCHACTION.empty() ||
              !c.zorvaneTESTWATCHACTION.empty()) &&
             raw("ZORVANE_WATCH_DIR").empty() &&
             raw("ZORVANE_MOUNTS").empty()) {
    const controller::volumesError want{"ZORVANE_WATCH_DIR", "ZORVANE_MOUNTS"};
    FUZZ_CHECK(error == want.Error(), "error %s", fuzz::Show(error).c_str());
  } else {
    CheckList("watch dirs", raw("ZORVANE_WATCH_DIR"), c.zorvaneWATCHDIRS,
              Whole);
    CheckList("ignored dirs", raw("ZORVANE_WATCH_IGNORE_DIR"),
              c.zorvaneWATCHIGNOREDIR, Whole);
    const std::string& mounts = raw("ZORVANE_MOUNTS");
    const std::vector<std::string_view> pieces = fuzz::Split(mounts, ';');
    const bool colonInEach =
        std::all_of(pieces.begin(), pieces.end(), [](std::string_view m) {
          return m.find(':') != std::string_view::npos;
        });
    if (mounts.empty() || colonInEach) {
      FUZZ_CHECK(status.ok(), "error %s", fuzz::Show(error).c_str());
      CheckList("mounts", mounts, c.zorvaneMOUNTS, ContainerPath);
    } else {
      // The message carries the whole text, not the one bad mount.
      const controller::mountError want{mounts};
      FUZZ_CHECK(error == want.Error(), "error %s", fuzz::Show(error).c_str());
    }
  }

  // Reading into a configuration that held other values replaces them all:
  // the result is the same as on a fresh one.
  Configuration used;
  const std::map<std::string, std::string> full = {
      {"ZORVANE_RUN", "r"},
      {"ZORVANE_WATCH_DIR", "/w;/x"},
      {"ZORVANE_MOUNTS", "/h:/c"},
      {"ZORVANE_WATCH_IGNORE_DIR", "/i"},
      {"ZORVANE_WATCH_INTERVAL", "7"},
      {"ZORVANE_STOP_TIMEOUT", "3"},
  };
  (void)controller::setupEnvironmentVars(&used, [&full](const char* name) {
    auto it = full.find(name);
    return it == full.end() ? std::string() : it->second;
  });
  const controller::Status again =
      controller::setupEnvironmentVars(&used, lookup);
  FUZZ_CHECK(SameConfig(used, c) && (again.ok() ? "" : again.Error()) == error,
             "a used configuration kept values of the earlier read");
  return 0;
}
