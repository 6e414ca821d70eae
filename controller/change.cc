#include "controller/change.h"

#include <string_view>

namespace controller {
namespace {

constexpr std::string_view kChangedPath = "ZORVANE_CHANGED_PATH";
constexpr std::string_view kChange = "ZORVANE_CHANGE";

// Whether the entry "NAME=value" is one of `name`.
bool names(std::string_view entry, std::string_view name) {
  return entry.size() > name.size() && entry.starts_with(name) &&
         entry[name.size()] == '=';
}

}  // namespace

Change changeOf(const watcher::Event& event) {
  const bool paired =
      event.Op == watcher::Op::Rename || event.Op == watcher::Op::Move;
  return {paired ? event.NewPath : event.Path,
          std::string(watcher::String(event.Op))};
}

std::optional<std::vector<std::string>> changeEnvironment(
    const Change& change, const char* const* base) {
  if (change.empty()) return std::nullopt;
  std::vector<std::string> env;
  for (const char* const* e = base; e != nullptr && *e != nullptr; ++e) {
    // A value inherited from whoever started the controller would tell of
    // another change.
    if (names(*e, kChangedPath) || names(*e, kChange)) continue;
    env.emplace_back(*e);
  }
  env.push_back(std::string(kChangedPath) + "=" + change.path);
  env.push_back(std::string(kChange) + "=" + change.kind);
  return env;
}

}  // namespace controller
