#include "controller/watch_loop.h"

#include <errno.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <variant>

#include <re2/re2.h>

#include "base/thread.h"
#include "controller/change.h"
#include "controller/config.h"
#include "controller/logger.h"
#include "controller/registry.h"
#include "controller/runner.h"
#include "text/quote.h"
#include "watcher/watcher.h"

namespace controller {
namespace {

// Compiles the watch pattern. RE2's own error logging is off: nothing but
// the controller's lines may reach standard error.
Status compilePattern(const std::string& pattern,
                      std::shared_ptr<const RE2>* out) {
  RE2::Options options;
  options.set_log_errors(false);
  auto re = std::make_shared<const RE2>(pattern, options);
  if (!re->ok()) {
    return Status("invalid watch pattern " + text::Quote(pattern) + ": " +
                  re->error());
  }
  *out = std::move(re);
  return Status();
}

// Keeps the ignored directories out of the listings, so that a busy
// ignored directory (a build's output) cannot take a cycle's one delivery
// and make a real change elsewhere go unreported. Nothing below an ignored
// directory can be taken (every path there begins with the same text), so
// the walk does not even enter it.
watcher::Status skipIgnored(std::string_view, const std::string& fullPath,
                            bool isDir) {
  if (!unwatchDir(fullPath)) return watcher::Status();
  return isDir ? watcher::ErrSkipDir : watcher::ErrSkip;
}

// Takes the watcher's deliveries until it closes, and starts a file-change
// run for each accepted change.
void consumeEvents(const std::shared_ptr<watcher::Watcher>& w,
                   const std::shared_ptr<const RE2>& r,
                   const std::string& fileChangeCommand, bool killServer) {
  for (;;) {
    watcher::Delivery d = w->Receive();
    if (auto* err = std::get_if<watcher::Status>(&d)) {
      Warning.log("An error occured in the watcher ", *err);
      continue;
    }
    if (auto* found = std::get_if<watcher::RootFound>(&d)) {
      Info.log((found->returned ? "Watching again: " : "Watching: ") +
               found->path);
      continue;
    }
    if (auto* cleared = std::get_if<watcher::ErrorCleared>(&d)) {
      Info.log("Error cleared in the watcher: " + cleared->path);
      continue;
    }
    auto* event = std::get_if<watcher::Event>(&d);
    if (event == nullptr) {
      Debug.log("Watcher is now closed");
      return;
    }
    Debug.log("Full path is:  " + event->Path);
    if (unwatchDir(event->Path)) {
      Debug.log("Path is not to be watched");
      continue;
    }
    const std::string name = event->Name();
    Debug.log("Matching for:  " + name);
    if (!RE2::PartialMatch(name, *r)) continue;
    Debug.log("About to restart watcher");
    if (fileChangeCommand.empty()) continue;
    Debug.log("kill server is: ", killServer);
    startRunCommands(fileChangeCommand, fileWatcher, killServer,
                     changeOf(*event));
  }
}

}  // namespace

bool unwatchDir(std::string_view path) {
  const auto& ignored = configuration().zorvaneWATCHIGNOREDIR;
  if (!ignored.has_value()) return false;
  for (const std::string& dir : *ignored) {
    if (!dir.empty() && path.starts_with(dir)) return true;
  }
  return false;
}

Status checkWatchSettings() {
  std::shared_ptr<const RE2> r;
  if (Status err = compilePattern(configuration().zorvaneWATCHREGEX, &r);
      !err.ok()) {
    return err;
  }
  if (configuration().zorvaneWATCHINTERVAL.ns < 1) {
    Error.log("Could not start the watcher  ", watcher::ErrDurationTooShort);
    return watcher::ErrDurationTooShort;
  }
  return Status();
}

Status runWatcher(const std::string& fileChangeCommand,
                  const std::vector<std::string>& dirs, bool killServer) {
  Debug.log("Run watcher ENTRY: " + fileChangeCommand);
  const Configuration& config = configuration();
  std::shared_ptr<const RE2> r;
  if (Status err = compilePattern(config.zorvaneWATCHREGEX, &r); !err.ok()) {
    return err;
  }

  std::shared_ptr<watcher::Watcher> w = watcher::New();
  for (const std::string& currentDir : dirs) {
    struct stat st;
    if (::stat(currentDir.c_str(), &st) != 0) {
      const int err = errno;
      Warning.log("Watched directory does not exist: " + currentDir,
                  watcher::Status::PathError("stat", currentDir, err));
    }
    if (watcher::Status err = w->AddRecursive(currentDir); !err.ok()) {
      Warning.log(
          "Failed to add directory to recursive watch list: " + currentDir,
          err);
    }
  }
  w->SetMaxEvents(1);
  // Added after the trees, so the snapshot they recorded is unfiltered
  // while every listing of the loop is filtered. The ignored directories
  // are judged first: the pattern would leave a directory out but still
  // enter it, where they keep the walk out. Either order lists the same.
  w->AddNameFilterHook(skipIgnored);
  w->AddFilterHook(watcher::RegexFilterHook(r, false));

  if (const Status started = base::StartDetachedThread(
          "events",
          [w, r, fileChangeCommand, killServer] {
            consumeEvents(w, r, fileChangeCommand, killServer);
          });
      !started.ok()) {
    return Status("could not start the event consumer: " +
                  ThreadStartReason(started));
  }

  Debug.log("Watch interval is: ", config.zorvaneWATCHINTERVAL);
  Status err =
      w->Start(std::chrono::nanoseconds(config.zorvaneWATCHINTERVAL.ns));
  if (!err.ok()) Error.log("Could not start the watcher  ", err);
  Debug.log("Run watcher EXIT: ");
  w->Close();
  return err;
}

}  // namespace controller
