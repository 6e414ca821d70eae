// soak_bench: the built controller for a long run on a changing tree.
// It watches a 20,000-entry tree at a 1 s interval while the harness makes
// a change every 0.3 to 3 s (seeded, so a run can be repeated), and its
// on-change command behaves differently on each start. Prints whether
// every change was followed by a run, and how the controller's threads,
// descriptors, memory, zombies and leftover processes fared. Run it through
// scripts/soak.sh, which builds what it needs first.
//
//   soak_bench [--minutes=M] [--seed=N] [--entries=N] [--margin=SECONDS]
//              [--log=PATH] [--workdir=DIR] [--controller=PATH]
//
// Nothing is left behind: the tree and the work folder are removed, and
// every process the controller leaves is killed by its id, also after an
// interrupt. The controller's log is kept at --log.

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "bench/child.h"
#include "bench/figures.h"
#include "bench/number.h"
#include "bench/proc_stats.h"
#include "bench/soak_figures.h"
#include "bench/tree_changer.h"
#include "bench/tree_gen.h"

namespace bench {
namespace {

constexpr int kIntervalSeconds = 1;
constexpr int kStopTimeoutSeconds = 2;
constexpr double kMinDelay = 0.3;  // seconds between two changes
constexpr double kMaxDelay = 3.0;
// A cycle writes its line once its listing is done: a change made during
// the listing may have been taken by it or by the next cycle.
constexpr double kListingSlack = 0.25;
constexpr auto kReadyDeadline = std::chrono::seconds(120);

constexpr char kReady[] = "[Debug] Watch interval is: 1s";
constexpr char kRunning[] = "Running: ";
constexpr char kServer[] = "sleep 100000";
constexpr char kCycleTook[] = "[Debug] About to restart watcher";
constexpr char kFolded[] = "change folded in";
constexpr char kTakenOver[] = "A later change starts the command instead";
constexpr char kKilledAfterTimeout[] = "Command did not stop within";

// What the on-change command does, by the number it draws.
constexpr const char* kBehaviours[] = {
    "exits at once",
    "ignores SIGINT",
    "leaves sleep 300 & and exits",
    "leaves sleep 300 & and runs on",
};
constexpr int kBehaviourCount = 4;

struct Options {
  std::string controller = ZORVANE_CONTROLLER_PATH;
  double minutes = 30;
  uint64_t seed = 0;  // 0: from the clock
  int64_t entries = 20000;
  double margin = 1;  // seconds, on top of interval + stop timeout
  std::string log = "zorvane-soak.log";
  std::string workdir;  // empty: a new folder in /tmp
};

const char kUsage[] =
    "usage: soak_bench [--minutes=M] [--seed=N] [--entries=N] "
    "[--margin=SECONDS]\n"
    "                  [--log=PATH] [--workdir=DIR] [--controller=PATH]\n";

bool ParseOptions(int argc, char** argv, Options* o) {
  return ParseOptionList(
      argc, argv, {}, [o](std::string_view key, const std::string& value) {
        if (key == "controller") {
          o->controller = value;
        } else if (key == "minutes") {
          return ParseNumber(value, &o->minutes) && o->minutes > 0;
        } else if (key == "seed") {
          return ParseNumber(value, &o->seed) && o->seed != 0;
        } else if (key == "entries") {
          return ParseNumber(value, &o->entries) && o->entries >= 100;
        } else if (key == "margin") {
          return ParseNumber(value, &o->margin) && o->margin >= 0;
        } else if (key == "log") {
          o->log = value;
        } else if (key == "workdir") {
          o->workdir = value;
        } else {
          return false;
        }
        return true;
      });
}

void Progress(const std::string& text) {
  fprintf(stderr, "soak: %s\n", text.c_str());
}

// The on-change command: it draws its behaviour from $RANDOM and appends
// "<epoch seconds> <pid> <behaviour>" to `record` first thing. The
// background jobs ignore SIGINT, as a non-interactive shell starts them.
std::string OnChangeCommand(const std::string& record) {
  return "b=$((RANDOM % 4)); echo \"$EPOCHREALTIME $$ $b\" >> '" + record +
         "'; case $b in 1) trap '' INT; sleep 60 ;; 2) sleep 300 & ;; "
         "3) sleep 300 & sleep 60 ;; esac";
}

// What the controller's log showed, each line's time in seconds since the
// start of the run.
struct LogFigures {
  std::vector<double> runs;    // on-change starts
  std::vector<double> cycles;  // cycles that took a matching change
  int64_t serverStarts = 0;
  int64_t folded = 0;
  int64_t takenOver = 0;
  int64_t killedAfterTimeout = 0;
  std::map<std::string, int64_t> problems;  // Warning and Error lines
};

// Reads the controller's lines until `until`, copies them to the log and
// notes what they say.
class LogReader {
 public:
  LogReader(Child* child, std::ofstream* log, std::string onChange,
            Clock::time_point t0)
      : child_(child),
        log_(log),
        running_(kRunning + std::move(onChange)),
        t0_(t0) {}

  void ReadUntil(Clock::time_point until) {
    std::string line;
    Clock::time_point at;
    while (child_->NextLine(until, &line, &at)) Note(line, Seconds(at - t0_));
  }

  /// Reads until a line holding `text` arrives; false when `until` passed
  /// first, the output ended, or an interrupt arrived.
  bool ReadUntilLine(std::string_view text, Clock::time_point until) {
    std::string line;
    Clock::time_point at;
    while (child_->NextLine(until, &line, &at)) {
      Note(line, Seconds(at - t0_));
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  const LogFigures& figures() const { return f_; }

 private:
  void Note(const std::string& line, double t) {
    *log_ << line << '\n';
    if (line.find(running_) != std::string::npos) {
      f_.runs.push_back(t);
    } else if (line.find(std::string(kRunning) + kServer) !=
               std::string::npos) {
      ++f_.serverStarts;
    } else if (line.find(kCycleTook) != std::string::npos) {
      f_.cycles.push_back(t);
    } else if (line.find(kFolded) != std::string::npos) {
      ++f_.folded;
    } else if (line.find(kTakenOver) != std::string::npos) {
      ++f_.takenOver;
    }
    if (line.find(kKilledAfterTimeout) != std::string::npos) {
      ++f_.killedAfterTimeout;
    }
    for (const char* tag : {"[Warning] ", "[Error] ", "[Fatal] "}) {
      const size_t at = line.find(tag);
      if (at == std::string::npos) continue;
      // Counted by their text up to the first colon: the command or the
      // number after it differs from line to line.
      const std::string text = line.substr(at);
      ++f_.problems[text.substr(0, text.find(':', strlen(tag)))];
    }
  }

  Child* child_;
  std::ofstream* log_;
  const std::string running_;
  const Clock::time_point t0_;
  LogFigures f_;
};

// The controller's process, sampled once a second.
struct Samples {
  Track threads;
  Track descriptors;
  Track resident;
  Track peakResident;
  Track descendants;  // live processes below the controller
  ZombieWatch zombies;

  void Take(pid_t controller, double t) {
    ProcStatus st;
    if (ReadProcStatus(controller, &st).empty()) {
      threads.Add(st.threads);
      resident.Add(st.resident);
      peakResident.Add(st.peakResident);
    }
    descriptors.Add(CountDescriptors(controller));
    int64_t live = 0;
    std::vector<pid_t> dead;
    for (const testsupport::ProcEntry& p :
         testsupport::DescendantsOf(controller)) {
      if (p.state != 'Z') {
        ++live;
      } else if (p.ppid == controller) {
        dead.push_back(p.pid);
      }
    }
    descendants.Add(live);
    zombies.Sample(t, dead);
  }
};

// The processes below this one still running, with their command lines.
std::vector<std::pair<pid_t, std::string>> LiveDescendants() {
  std::vector<std::pair<pid_t, std::string>> out;
  for (const testsupport::ProcEntry& p : testsupport::DescendantsOf(getpid())) {
    if (p.state != 'Z') out.emplace_back(p.pid, p.cmdline);
  }
  return out;
}

std::string MinutesText(double minutes) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f min", minutes);
  return buf;
}

std::string Mib(int64_t bytes) {
  return bytes < 0 ? "n/a" : BytesText(static_cast<double>(bytes));
}

std::string Count(int64_t n) {
  return n < 0 ? "n/a" : CountText(n);
}

// Counts of the behaviours the on-change command recorded.
std::vector<int64_t> RecordedBehaviours(const std::string& record) {
  std::vector<int64_t> counts(kBehaviourCount, 0);
  std::ifstream in(record);
  double when;
  long pid;
  int behaviour;
  while (in >> when >> pid >> behaviour) {
    if (behaviour >= 0 && behaviour < kBehaviourCount) ++counts[behaviour];
  }
  return counts;
}

struct Outcome {
  double minutes = 0;  // of changes made
  std::vector<ChangeSpan> changes;
  int64_t byKind[kChangeKinds] = {};
  Samples samples;
  LogFigures log;
  std::vector<int64_t> recorded;
  std::string end;  // how the controller ended on SIGTERM
  double endSeconds = NAN;
  std::vector<std::pair<pid_t, std::string>> left;
  int64_t leftAfterKill = 0;
};

// How long after a change its run may come: a cycle, and the stop timeout
// of a command that ignores SIGINT, and the margin.
double RunWindow(const Options& o) {
  return kIntervalSeconds + kStopTimeoutSeconds + o.margin;
}

void Print(const Options& o, int64_t entries, const Outcome& r) {
  const double window = RunWindow(o);
  const double seeWindow = kIntervalSeconds + o.margin;
  const RunCoverage cover = CoverChanges(r.changes, r.log.runs, window);
  const CycleCount cycles =
      CountCycles(r.changes, r.log.cycles, seeWindow, kListingSlack);
  int64_t recorded = 0;
  for (int64_t n : r.recorded) recorded += n;

  std::string kinds;
  for (int k = 0; k < kChangeKinds; ++k) {
    if (!kinds.empty()) kinds += ", ";
    kinds += std::string(ChangeKindName(static_cast<ChangeKind>(k))) + " " +
             CountText(r.byKind[k]);
  }
  std::string behaviours;
  for (int b = 0; b < kBehaviourCount; ++b) {
    if (!behaviours.empty()) behaviours += ", ";
    behaviours += std::string(kBehaviours[b]) + " " + CountText(r.recorded[b]);
  }
  const int64_t started = static_cast<int64_t>(r.log.runs.size());
  const int64_t taken = static_cast<int64_t>(r.log.cycles.size());
  const int64_t accounted = started + r.log.folded + r.log.takenOver;
  const Samples& s = r.samples;

  Table t({"figure", "value", "how"});
  t.Add({"changes made", CountText(static_cast<int64_t>(r.changes.size())),
         kinds});
  t.Add({"runs started", CountText(started),
         "\"Running: <on-change command>\" lines; the command recorded " +
             CountText(recorded) + " starts: " + behaviours});
  t.Add({"runs expected", CountText(cycles.explained),
         "polling cycles that took a matching change: the log's \"About to "
         "restart watcher\" lines, each placed after a change made since the "
         "previous one (" +
             SecondsText(kListingSlack) + " slack for the listing)"});
  t.Add({"", "",
         CountText(cycles.unexplained) +
             " cycle lines followed no change made since the "
             "previous; " +
             CountText(cycles.unseen) +
             " changes had no cycle line "
             "within " +
             SecondsText(seeWindow)});
  t.Add({"", "",
         "cycles " + CountText(taken) + " = runs started " +
             CountText(started) + " + folded into a waiting run " +
             CountText(r.log.folded) + " + taken over by a later " + "change " +
             CountText(r.log.takenOver) +
             (accounted == taken
                  ? " (accounted for)"
                  : " (NOT accounted for: " + CountText(accounted) + ")")});
  t.Add({"changes missed", CountText(cover.missed),
         "no run started within " + SecondsText(window) +
             " (interval + stop timeout + " + SecondsText(o.margin) +
             ") after the change was done; must be 0"});
  t.Add({"change to next run", SecondsText(Percentile(cover.delays, 0.5)),
         "median; 95th percentile " +
             SecondsText(Percentile(cover.delays, 0.95)) + ", longest " +
             SecondsText(Percentile(cover.delays, 1))});
  t.Add({"stop timeout kills", CountText(r.log.killedAfterTimeout),
         "\"Command did not stop within 2s\" warnings"});
  t.Add({"server starts", CountText(r.log.serverStarts),
         "\"Running: sleep 100000\": 1 unless the server died"});
  t.Add({"threads", Count(s.threads.peak()) + " peak",
         "start " + Count(s.threads.first()) + ", final " +
             Count(s.threads.last()) + " (Threads in /proc/<pid>/status)"});
  t.Add({"open descriptors", Count(s.descriptors.peak()) + " peak",
         "start " + Count(s.descriptors.first()) + ", final " +
             Count(s.descriptors.last()) + " (/proc/<pid>/fd)"});
  t.Add({"resident memory", Mib(s.resident.first()) + " at start",
         Mib(s.resident.last()) + " at end (VmRSS), peak " +
             Mib(s.peakResident.last()) + " (VmHWM)"});
  t.Add({"processes below it", Count(s.descendants.peak()) + " peak",
         "final " + Count(s.descendants.last()) +
             " (the server and what commands run, on a sample)"});
  t.Add({"zombies seen", CountText(s.zombies.seen()),
         "children of the controller in state Z on " +
             CountText(s.zombies.samplesWithZombies()) + " of " +
             CountText(s.threads.count()) + " samples" +
             (s.zombies.seen() == 0 ? ""
                                    : "; longest from first to last sample " +
                                          SecondsText(s.zombies.longest()))});
  t.Add({"end on SIGTERM", r.end,
         std::isnan(r.endSeconds) ? "" : "after " + SecondsText(r.endSeconds)});
  t.Add({"processes left", CountText(static_cast<int64_t>(r.left.size())),
         "alive below the harness once the controller had ended; must be 0"
         " (killed by id: " +
             CountText(r.leftAfterKill) + " left after)"});

  printf(
      "\nzorvane-controller soak: %s of changes on a %s-entry tree "
      "(matching shape), polling every %d s, stop timeout %d s\n",
      MinutesText(r.minutes).c_str(), CountText(entries).c_str(),
      kIntervalSeconds, kStopTimeoutSeconds);
  printf("machine: %s\n", MachineText().c_str());
  printf(
      "seed %llu: a change every %.1f-%.1f s; the on-change command draws "
      "its behaviour from $RANDOM\n",
      static_cast<unsigned long long>(o.seed), kMinDelay, kMaxDelay);
  printf("controller log: %s\n\n", o.log.c_str());
  printf("%s\n", t.Markdown().c_str());
  printf(
      "Warning and Error lines in the log, by their text up to the "
      "first colon:\n");
  for (const auto& [text, n] : r.log.problems) {
    printf("%8s  %s\n", CountText(n).c_str(), text.c_str());
  }
  for (const auto& [pid, cmd] : r.left) {
    printf("left: %d %s\n", static_cast<int>(pid), cmd.c_str());
  }
}

// Stops the controller with SIGTERM as its user would, then counts what it
// left (it comes to this process, a subreaper) and kills that by id.
void StopAndCount(Child* child, LogReader* reader, Outcome* r) {
  const Clock::time_point sent = Clock::now();
  int status = 0;
  if (child->Stop(SIGTERM,
                  sent + std::chrono::seconds(kStopTimeoutSeconds + 15),
                  &status)) {
    r->endSeconds = Seconds(Clock::now() - sent);
    if (WIFSIGNALED(status)) {
      const char* name = sigabbrev_np(WTERMSIG(status));
      r->end = std::string("died by SIG") + (name ? name : "?");
    } else {
      r->end = "exit status " + std::to_string(WEXITSTATUS(status));
    }
  } else {
    r->end = "still running " + std::to_string(kStopTimeoutSeconds + 15) +
             " s after SIGTERM";
  }
  // Its last lines; a leftover may hold the pipe, so not until its end.
  reader->ReadUntil(Clock::now() + std::chrono::milliseconds(200));
  r->left = LiveDescendants();
  child->Kill();
  r->leftAfterKill = static_cast<int64_t>(LiveDescendants().size());
}

// Changes the tree for the run's minutes while reading the controller's
// lines and sampling its process once a second, then waits for the last
// change's run. Returns an empty text, or what failed; stops early on an
// interrupt.
std::string Drive(const Options& o, const Child& child, LogReader* reader,
                  TreeChanger* changer, Clock::time_point t0, Outcome* r) {
  Random delays(o.seed ^ 0x5eed);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = After(start, o.minutes * 60);
  Clock::time_point nextSample = start;
  Clock::time_point nextChange =
      After(start, delays.Uniform(kMinDelay, kMaxDelay));
  Clock::time_point nextProgress = After(start, 60);
  auto sample = [&] {
    r->samples.Take(child.pid(), Seconds(Clock::now() - t0));
    nextSample = After(nextSample, 1);
  };
  while (!Interrupted()) {
    const Clock::time_point now = Clock::now();
    if (now >= nextSample) sample();
    if (now >= end) break;
    if (now >= nextChange) {
      const double begun = Seconds(Clock::now() - t0);
      ChangeKind kind;
      if (std::string err = changer->Change(&kind); !err.empty()) {
        return "cannot change the tree: " + err;
      }
      r->changes.push_back({begun, Seconds(Clock::now() - t0)});
      ++r->byKind[static_cast<int>(kind)];
      nextChange = After(Clock::now(), delays.Uniform(kMinDelay, kMaxDelay));
    }
    if (now >= nextProgress) {
      Progress(std::to_string(static_cast<int>(Seconds(now - start) / 60)) +
               " min: " + CountText(static_cast<int64_t>(r->changes.size())) +
               " changes, " +
               CountText(static_cast<int64_t>(reader->figures().runs.size())) +
               " runs, threads " + Count(r->samples.threads.last()) +
               ", descriptors " + Count(r->samples.descriptors.last()) +
               ", resident " + Mib(r->samples.resident.last()));
      nextProgress = After(nextProgress, 60);
    }
    reader->ReadUntil(std::min({nextSample, nextChange, end}));
  }
  r->minutes = Seconds(Clock::now() - start) / 60;
  if (!Interrupted()) {
    // The last change's run may come up to the stop timeout and a cycle
    // later.
    const Clock::time_point settled = After(Clock::now(), RunWindow(o) + 1);
    while (!Interrupted() && Clock::now() < settled) {
      reader->ReadUntil(std::min(nextSample, settled));
      if (Clock::now() >= nextSample) sample();
    }
    sample();
  }
  return "";
}

int Run(const Options& o, const std::string& workdir) {
  const TreePlan plan = PlanTree({TreeKind::kMatching, o.entries, o.seed});
  ScratchTree tree(workdir + "/tree");
  Progress("making the tree: " + CountText(o.entries) + " entries");
  if (std::string err = WriteTree(tree.root(), plan); !err.empty()) {
    Progress("cannot make the tree: " + err);
    return 1;
  }
  const std::string record = workdir + "/runs";
  const std::string onChange = OnChangeCommand(record);
  std::vector<std::string> env = PathOnlyEnv();
  env.insert(env.end(),
             {
                 std::string("ZORVANE_RUN=") + kServer,
                 "ZORVANE_RUN_ON_CHANGE=" + onChange,
                 "ZORVANE_RUN_KILL=false",
                 "ZORVANE_WATCH_DIR=" + tree.root(),
                 "ZORVANE_WATCH_INTERVAL=" + std::to_string(kIntervalSeconds),
                 "ZORVANE_WATCH_REGEX=\\.js$",
                 "ZORVANE_STOP_TIMEOUT=" + std::to_string(kStopTimeoutSeconds),
             });
  std::ofstream log(o.log, std::ios::trunc);
  if (!log) {
    Progress("cannot write the log " + o.log + ": " + strerror(errno));
    return 1;
  }

  Child child;
  if (std::string err = child.Start({o.controller, "-v"}, env); !err.empty()) {
    Progress(err);
    return 1;
  }
  const Clock::time_point t0 = Clock::now();
  LogReader reader(&child, &log, onChange, t0);
  if (!reader.ReadUntilLine(kReady, t0 + kReadyDeadline)) {
    Progress(Interrupted() ? "interrupted"
                           : "the controller never finished its first "
                             "listing; its last output:\n" +
                                 child.Tail(10));
    return Interrupted() ? 130 : 1;
  }
  Progress("controller ready after " + SecondsText(Seconds(Clock::now() - t0)) +
           "; changing the tree for " + MinutesText(o.minutes) + ", seed " +
           std::to_string(o.seed));

  Outcome r;
  TreeChanger changer(tree.root(), plan, o.seed);
  if (std::string err = Drive(o, child, &reader, &changer, t0, &r);
      !err.empty()) {
    Progress(err);
    return 1;
  }
  if (Interrupted()) {
    Progress("interrupted: ending the controller and removing the tree");
    child.Kill();
    return 130;
  }
  Progress("stopping the controller with SIGTERM");
  StopAndCount(&child, &reader, &r);
  r.log = reader.figures();
  r.recorded = RecordedBehaviours(record);
  Print(o, static_cast<int64_t>(plan.entries.size()), r);
  // Removing the tree can take a while: the figures come first.
  fflush(stdout);
  const bool ok = r.left.empty() && r.leftAfterKill == 0 &&
                  CoverChanges(r.changes, r.log.runs, RunWindow(o)).missed == 0;
  return ok ? 0 : 1;
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (o.seed == 0) {
    o.seed = static_cast<uint64_t>(time(nullptr));
  }
  CatchInterrupts();
  AdoptOrphans();
  Workdir workdir;
  if (!workdir.Make(o.workdir, "zorvane-soak", "soak_bench")) return 1;
  return Run(o, workdir.path());
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  return bench::Main(argc, argv);
}
