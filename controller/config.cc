#include "controller/config.h"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "controller/logger.h"
#include "text/utf8.h"
#include "watcher/path.h"

namespace controller {
namespace {

bool IsSpace(char32_t r) {
  switch (r) {
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case ' ':
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return r >= 0x2000 && r <= 0x200A;
  }
}

// Upper-cases ASCII letters. No character outside ASCII upper-cases to one
// of the letters of "TRUE", so for the one comparison this serves, the
// result is the same as full Unicode case mapping.
std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The ";"-separated pieces of `s`, each trimmed; empty pieces stay.
std::vector<std::string> SplitTrimmed(std::string_view s) {
  std::vector<std::string> pieces;
  for (;;) {
    const auto semi = s.find(';');
    pieces.emplace_back(TrimSpace(s.substr(0, semi)));
    if (semi == std::string_view::npos) return pieces;
    s.remove_prefix(semi + 1);
  }
}

// False, with a Debug line, for an empty entry of a list of directories to
// watch (a stray ";", or a mount with nothing after its ":"): the watcher
// would take it for the working directory.
bool keepWatchEntry(std::string_view entry) {
  if (!entry.empty()) return true;
  Debug.log("Skipping an empty watch entry");
  return false;
}

// An ignore entry as event paths are written: a relative entry is made
// absolute against `workDir` and cleaned, keeping a trailing "/" (which
// means the directory's contents only). An absolute entry stays as written,
// so its plain-prefix meaning is the user's; an empty one stays empty and
// ignores nothing.
std::string absoluteIgnoreEntry(std::string_view workDir, std::string entry) {
  if (entry.empty() || entry.front() == '/' || workDir.empty()) return entry;
  const bool contentsOnly = entry.back() == '/';
  std::string abs = watcher::absPathIn(workDir, entry);
  if (contentsOnly && abs.back() != '/') abs += '/';
  return abs;
}

// Reads a decimal integer with an optional sign, within the 64-bit range.
bool ParseInt64(std::string_view s, int64_t* out) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s[0] == '+' || s[0] == '-') return false;
  // Read the magnitude unsigned, so that the most negative value fits.
  uint64_t magnitude;
  const auto [end, ec] =
      std::from_chars(s.data(), s.data() + s.size(), magnitude);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  const uint64_t limit =
      negative ? uint64_t{1} << 63 : std::numeric_limits<int64_t>::max();
  if (magnitude > limit) return false;
  *out = negative ? static_cast<int64_t>(0 - magnitude)
                  : static_cast<int64_t>(magnitude);
  return true;
}

// The interval in nanoseconds, or false when `text` is not a whole number
// of seconds whose nanosecond count fits in 64 bits.
bool ParseInterval(std::string_view text, int64_t* ns) {
  int64_t seconds;
  if (!ParseInt64(TrimSpace(text), &seconds)) return false;
  if (seconds > std::numeric_limits<int64_t>::max() / kSecond ||
      seconds < std::numeric_limits<int64_t>::min() / kSecond) {
    return false;
  }
  *ns = seconds * kSecond;
  return true;
}

// Appends `v` / 10^prec with `prec` decimals, trailing zeros (and a bare
// point) dropped.
void AppendFraction(std::string* out, uint64_t v, int prec) {
  uint64_t scale = 1;
  for (int i = 0; i < prec; ++i) scale *= 10;
  out->append(std::to_string(v / scale));
  uint64_t frac = v % scale;
  if (frac == 0) return;
  std::string digits = std::to_string(frac);
  digits.insert(0, static_cast<std::size_t>(prec) - digits.size(), '0');
  while (digits.back() == '0') digits.pop_back();
  out->push_back('.');
  out->append(digits);
}

}  // namespace

std::string Duration::String() const {
  if (ns == 0) return "0s";
  // Work on the magnitude as unsigned, so the most negative count works.
  uint64_t u = ns < 0 ? 0 - static_cast<uint64_t>(ns) : ns;
  std::string out = ns < 0 ? "-" : "";
  if (u < 1000) return out + std::to_string(u) + "ns";
  if (u < 1000000) {
    AppendFraction(&out, u, 3);
    return out + "µs";
  }
  if (u < 1000000000) {
    AppendFraction(&out, u, 6);
    return out + "ms";
  }
  const uint64_t hours = u / (3600 * uint64_t{kSecond});
  u -= hours * 3600 * kSecond;
  const uint64_t minutes = u / (60 * uint64_t{kSecond});
  u -= minutes * 60 * kSecond;
  if (hours > 0) out += std::to_string(hours) + "h";
  if (hours > 0 || minutes > 0) out += std::to_string(minutes) + "m";
  AppendFraction(&out, u, 9);
  return out + "s";
}

Configuration& configuration() {
  // Never destroyed: detached threads read it while the process ends.
  static Configuration* const config = new Configuration;
  return *config;
}

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty()) {
    std::size_t size;
    if (!IsSpace(text::DecodeRune(s, &size))) break;
    s.remove_prefix(size);
  }
  while (!s.empty()) {
    std::size_t size;
    if (!IsSpace(text::DecodeLastRune(s, &size))) break;
    s.remove_suffix(size);
  }
  return s;
}

bool computeSigInt(std::string_view tempSigInt) {
  if (tempSigInt.empty()) return true;
  return TrimSpace(UpperCase(tempSigInt)) == "TRUE";
}

std::string envError::Error() const {
  return environmentVar1 + " and " + environmentVar2 + " and " +
         environmentVar3 + " can not be empty.";
}

std::string volumesError::Error() const {
  return environmentVar1 + " and " + environmentVar2 +
         " can not be empty. File watching is enabled.";
}

std::string mountError::Error() const {
  return "The Mount string has bad formatting: " + mountsString;
}

Status setupEnvironmentVars(Configuration* c, const EnvLookup& env) {
  Debug.log("setupEnvironmentVars ENTRY");
  // A variable as read, logged as "NAME: value".
  const auto readLogged = [&](const char* name) {
    std::string value = env(name);
    Debug.log(std::string(name) + ": " + value);
    return value;
  };
  const std::string tmpWATCHIGNOREDIR = env("ZORVANE_WATCH_IGNORE_DIR");
  Debug.log("ZORVANE_WATCH_IGNORE_DIR ", tmpWATCHIGNOREDIR);

  c->zorvaneRUNKILL = computeSigInt(env("ZORVANE_RUN_KILL"));
  Debug.log("ZORVANE_RUN_KILL ", c->zorvaneRUNKILL);
  c->zorvaneDEBUGKILL = computeSigInt(env("ZORVANE_DEBUG_KILL"));
  Debug.log("ZORVANE_DEBUG_KILL ", c->zorvaneDEBUGKILL);
  c->zorvaneTESTKILL = computeSigInt(env("ZORVANE_TEST_KILL"));

  c->zorvaneDEBUGWATCHACTION = readLogged("ZORVANE_DEBUG_ON_CHANGE");
  c->zorvaneTESTWATCHACTION = readLogged("ZORVANE_TEST_ON_CHANGE");
  c->zorvaneTEST = readLogged("ZORVANE_TEST");

  c->zorvaneWATCHREGEX = readLogged("ZORVANE_WATCH_REGEX");
  if (c->zorvaneWATCHREGEX.empty()) {
    c->zorvaneWATCHREGEX = kDefaultWatchRegex;
  }
  // The line above shows the variable as read; this one the pattern in
  // effect, the default included.
  Debug.log("zorvaneWATCHREGEX set to: " + c->zorvaneWATCHREGEX);

  c->zorvaneRUN = readLogged("ZORVANE_RUN");
  const std::string tmpWatchDirs = readLogged("ZORVANE_WATCH_DIR");
  c->zorvaneRUNWATCHACTION = readLogged("ZORVANE_RUN_ON_CHANGE");
  c->zorvaneINSTALL = readLogged("ZORVANE_INSTALL");
  c->zorvanePREP = readLogged("ZORVANE_PREP");
  if (c->zorvanePREP.empty()) c->zorvanePREP = c->zorvaneINSTALL;
  c->zorvaneDEBUG = readLogged("ZORVANE_DEBUG");
  const std::string tmpMountDirs = readLogged("ZORVANE_MOUNTS");

  const std::string tempWatchInterval = env("ZORVANE_WATCH_INTERVAL");
  Debug.log("ZORVANE_WATCH_INTERVAL: " + tempWatchInterval + " seconds");
  int64_t interval = 2 * kSecond;
  // A count of seconds whose nanoseconds do not fit in 64 bits would wrap
  // around into a nonsense interval; it is refused like any other bad text.
  if (!tempWatchInterval.empty() &&
      !ParseInterval(tempWatchInterval, &interval)) {
    Warning.log("Invalid watch interval, setting to default 2000: " +
                tempWatchInterval);
    interval = 2 * kSecond;
  }
  c->zorvaneWATCHINTERVAL = Duration{interval};
  Debug.log("zorvaneWATCHINTERVAL set to: ", c->zorvaneWATCHINTERVAL);

  const std::string tempStopTimeout = env("ZORVANE_STOP_TIMEOUT");
  Debug.log("ZORVANE_STOP_TIMEOUT: " + tempStopTimeout + " seconds");
  int64_t stopTimeout = kDefaultStopTimeout;
  // A negative time to stop means nothing; it is refused like a bad text.
  if (!tempStopTimeout.empty() &&
      (!ParseInterval(tempStopTimeout, &stopTimeout) || stopTimeout < 0)) {
    Warning.log("Invalid stop timeout, setting to default 10000: " +
                tempStopTimeout);
    stopTimeout = kDefaultStopTimeout;
  }
  c->zorvaneSTOPTIMEOUT = Duration{stopTimeout};
  Debug.log("zorvaneSTOPTIMEOUT set to: ", c->zorvaneSTOPTIMEOUT);

  // The lists are reset before any error return, so that a failed read
  // leaves none of an earlier read's values behind.
  c->zorvaneWATCHDIRS.reset();
  c->zorvaneWATCHIGNOREDIR.reset();
  c->zorvaneMOUNTS.reset();

  const bool fileWatchingOff = c->zorvaneRUNWATCHACTION.empty() &&
                               c->zorvaneDEBUGWATCHACTION.empty() &&
                               c->zorvaneTESTWATCHACTION.empty();
  if (fileWatchingOff) Debug.log("File watching is off.");

  if (c->zorvaneDEBUG.empty() && c->zorvaneRUN.empty() &&
      c->zorvaneTEST.empty()) {
    return envError{"ZORVANE_DEBUG", "ZORVANE_RUN", "ZORVANE_TEST"};
  }
  if (!fileWatchingOff && tmpMountDirs.empty() && tmpWatchDirs.empty()) {
    return volumesError{"ZORVANE_WATCH_DIR", "ZORVANE_MOUNTS"};
  }

  if (!tmpWatchDirs.empty()) {
    // Present even when every entry is empty: the mounts are then not
    // watched instead.
    auto& dirs = c->zorvaneWATCHDIRS.emplace(SplitTrimmed(tmpWatchDirs));
    std::erase_if(dirs,
                  [](const std::string& d) { return !keepWatchEntry(d); });
  }
  if (!tmpWATCHIGNOREDIR.empty()) {
    auto& ignored = c->zorvaneWATCHIGNOREDIR.emplace();
    for (std::string& entry : SplitTrimmed(tmpWATCHIGNOREDIR)) {
      ignored.push_back(absoluteIgnoreEntry(c->workDir, std::move(entry)));
    }
  }

  Status result;
  if (!tmpMountDirs.empty()) {
    auto& mounts = c->zorvaneMOUNTS.emplace();
    std::string_view rest = tmpMountDirs;
    for (;;) {
      const auto semi = rest.find(';');
      const std::string_view mount = rest.substr(0, semi);
      const auto colon = mount.rfind(':');
      if (colon == std::string_view::npos) {
        result = mountError{tmpMountDirs};
        break;
      }
      // Only the container path after the last ":" counts, so host paths
      // with a drive letter ("C:\work:/project") work.
      const std::string_view container = TrimSpace(mount.substr(colon + 1));
      if (keepWatchEntry(container)) mounts.emplace_back(container);
      if (semi == std::string_view::npos) break;
      rest.remove_prefix(semi + 1);
    }
  }

  Debug.log("setupEnvironmentVars EXIT");
  return result;
}

Status setupEnvironmentVars() {
  return setupEnvironmentVars(&configuration(), [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  });
}

}  // namespace controller
