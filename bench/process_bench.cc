// process_bench: the built controller against the floor walker, as whole
// processes polling the same trees at a 1 s interval, one program at a
// time. Prints one table: per tree, CPU per polling cycle, peak memory,
// start-up and change-to-run latency of each program, their ratio, and the
// performance goals with what is met and what is missed. Run it through
// scripts/bench-process.sh, which builds what it needs first.
//
//   process_bench [--controller=PATH] [--floor=PATH] [--workdir=DIR]
//                 [--window=SECONDS] [--edits=N] [--seed=N] [--million]
//
// Trees are made in --workdir (by default a new folder in /tmp) and
// removed after their runs. --million adds a tree of a million entries,
// whose cycle takes longer than the interval (minutes more, and about a
// gigabyte of inodes while it lasts).

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/child.h"
#include "bench/figures.h"
#include "bench/number.h"
#include "bench/proc_stats.h"
#include "bench/tree_gen.h"

namespace bench {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The controller takes whole seconds; its start-up line names this one.
constexpr int kIntervalSeconds = 1;
constexpr double kInterval = kIntervalSeconds;
constexpr char kOnChange[] = ":";
constexpr char kFloorReady[] = "floor: first walk done";
constexpr char kFloorChange[] = "floor: change seen";
// With -v the controller writes this right after its first listing.
constexpr char kControllerReady[] = "[Debug] Watch interval is: 1s";
// Generous: a first listing of a large tree on a busy machine, or an edit
// taken a few cycles late, is slow but no failure.
constexpr auto kLineDeadline = std::chrono::seconds(60);
// Spawns whose start-up is measured, the measured run included.
constexpr size_t kStartups = 5;

struct Options {
  std::string controller = ZORVANE_CONTROLLER_PATH;
  std::string floor = ZORVANE_FLOOR_WALKER_PATH;
  std::string workdir;  // empty: a new folder in /tmp
  double window = 15;   // seconds of each CPU window
  int edits = 7;
  uint64_t seed = 1;
  bool million = false;
};

const char kUsage[] =
    "usage: process_bench [--controller=PATH] [--floor=PATH] "
    "[--workdir=DIR]\n"
    "                     [--window=SECONDS] [--edits=N] [--seed=N] "
    "[--million]\n";

bool ParseOptions(int argc, char** argv, Options* o) {
  return ParseOptionList(
      argc, argv, {"--million"},
      [o](std::string_view key, const std::string& value) {
        if (key == "million") {
          o->million = true;
        } else if (key == "controller") {
          o->controller = value;
        } else if (key == "floor") {
          o->floor = value;
        } else if (key == "workdir") {
          o->workdir = value;
        } else if (key == "window") {
          return ParseNumber(value, &o->window) && o->window >= 2;
        } else if (key == "edits") {
          return ParseNumber(value, &o->edits) && o->edits >= 1;
        } else if (key == "seed") {
          return ParseNumber(value, &o->seed);
        } else {
          return false;
        }
        return true;
      });
}

// How to run one program and recognise its lines.
struct Program {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::string ready;   // in the line written once the first listing is done
  std::string change;  // in the line written when an edit is taken
};

Program FloorProgram(const Options& o, const std::string& root) {
  return {{o.floor, root, std::to_string(kIntervalSeconds)},
          PathOnlyEnv(),
          kFloorReady,
          kFloorChange};
}

Program ControllerProgram(const Options& o, const std::string& root,
                          const std::string& regex, const std::string& ignore) {
  std::vector<std::string> env = PathOnlyEnv();
  env.insert(env.end(),
             {
                 "ZORVANE_RUN=sleep 100000",
                 std::string("ZORVANE_RUN_ON_CHANGE=") + kOnChange,
                 "ZORVANE_RUN_KILL=false",
                 "ZORVANE_WATCH_DIR=" + root,
                 "ZORVANE_WATCH_INTERVAL=" + std::to_string(kIntervalSeconds),
                 "ZORVANE_WATCH_REGEX=" + regex,
             });
  if (!ignore.empty()) env.push_back("ZORVANE_WATCH_IGNORE_DIR=" + ignore);
  return {{o.controller, "-v"},
          env,
          kControllerReady,
          std::string("Running: ") + kOnChange};
}

// What one program did on one tree; NaN or -1 for what was not measured.
struct Figures {
  double startup = kNaN;      // seconds from spawn to the first listing done
  double cpuPerCycle = kNaN;  // seconds
  double busy = kNaN;         // CPU seconds per second of the CPU window
  int64_t peak = -1;          // bytes of peak resident memory
  double latency = kNaN;      // median seconds from an edit to its line
  // At the start and the end of the CPU window.
  ProcStatus windowStart, windowEnd;
  std::string error;
};

// Appends a line to `path` in one write, so no cycle can see half an edit.
std::string Edit(const std::string& path, int n) {
  return WriteInOne(path, O_WRONLY | O_APPEND,
                    "// edit " + std::to_string(n) + "\n");
}

// Edits `target` `edits` times and returns the median time from an edit to
// the program's change line. A first edit, not counted, gives the moment of
// a detection; each counted edit then follows the previous detection by a
// delay spread evenly over the interval, so the edits meet the polling
// cycle at every phase and the median does not hinge on luck.
std::string MeasureLatency(Child& child, const Program& p,
                           const std::string& target, int edits,
                           double* median) {
  std::vector<double> latencies;
  Clock::time_point seen;
  for (int k = -1; k < edits; ++k) {
    if (k >= 0) {
      const double delay = (k + 0.5) / edits * kInterval;
      if (!child.ReadUntil(After(seen, delay))) return "interrupted";
    }
    const Clock::time_point edited = Clock::now();
    if (std::string err = Edit(target, k + 1); !err.empty()) return err;
    if (!child.WaitForLine(p.change, edited + kLineDeadline, &seen)) {
      return Interrupted() ? "interrupted" : "no change line after an edit";
    }
    if (k >= 0) latencies.push_back(Seconds(seen - edited));
  }
  *median = Median(latencies);
  return "";
}

// Starts `p` and waits for its first-listing line; `*startup` is the time
// from the spawn to that line.
std::string StartAndWait(const Program& p, Child* child, double* startup) {
  const Clock::time_point spawned = Clock::now();
  if (std::string err = child->Start(p.argv, p.env); !err.empty()) return err;
  Clock::time_point ready;
  if (!child->WaitForLine(p.ready, spawned + kLineDeadline, &ready)) {
    return Interrupted() ? "interrupted" : "no first-listing line";
  }
  *startup = Seconds(ready - spawned);
  return "";
}

// Reports a failed run with the program's last words.
std::string Failed(const Child& child, const std::string& what) {
  const std::string tail = child.Tail(5);
  if (!Interrupted() && !tail.empty()) {
    fprintf(stderr, "%s; its last output:\n%s\n", what.c_str(), tail.c_str());
  }
  return Interrupted() ? "interrupted" : what;
}

// One run of `p` for CPU, memory and latency; `*startup` is its start-up.
std::string MeasureRun(const Program& p, double window,
                       const std::string& target, int edits, double* startup,
                       Figures* f) {
  Child child;
  if (std::string err = StartAndWait(p, &child, startup); !err.empty()) {
    return Failed(child, err);
  }
  // The controller's loop lists once more at once after its first listing:
  // the window starts after that cycle.
  const Clock::time_point ready = Clock::now();
  if (!child.ReadUntil(After(ready, 1.5 * kInterval))) return "interrupted";
  int64_t before = 0, after = 0;
  const Clock::time_point start = Clock::now();
  if (std::string err = ReadCpuTicks(child.pid(), &before); !err.empty()) {
    return Failed(child, err);
  }
  if (std::string err = ReadProcStatus(child.pid(), &f->windowStart);
      !err.empty()) {
    return Failed(child, err);
  }
  if (!child.ReadUntil(After(start, window))) return "interrupted";
  const Clock::time_point end = Clock::now();
  if (std::string err = ReadCpuTicks(child.pid(), &after); !err.empty()) {
    return Failed(child, err);
  }
  if (std::string err = ReadProcStatus(child.pid(), &f->windowEnd);
      !err.empty()) {
    return Failed(child, err);
  }
  const double cpu = TicksToSeconds(after - before);
  f->cpuPerCycle = CpuPerCycle(cpu, Seconds(end - start), kInterval);
  f->busy = cpu / Seconds(end - start);
  if (!target.empty()) {
    if (std::string err = MeasureLatency(child, p, target, edits, &f->latency);
        !err.empty()) {
      return Failed(child, err);
    }
  }
  if (std::string err = ReadPeakResident(child.pid(), &f->peak); !err.empty()) {
    return Failed(child, err);
  }
  return "";
}

Figures Measure(const Program& p, double window, const std::string& target,
                int edits) {
  Figures f;
  std::vector<double> startups(kStartups);
  f.error = MeasureRun(p, window, target, edits, &startups[0], &f);
  // One spawn's start-up is at the mercy of the machine's other work: the
  // median of a few, each run ended once it is ready.
  for (size_t i = 1; i < startups.size() && f.error.empty(); ++i) {
    Child child;
    if (std::string err = StartAndWait(p, &child, &startups[i]); !err.empty()) {
      f.error = Failed(child, err);
    }
  }
  if (f.error.empty()) f.startup = Median(startups);
  return f;
}

struct Case {
  std::string Title() const {
    if (shape.kind == TreeKind::kEmpty) return label;
    return CountText(shape.entries) + " " + label;
  }

  std::string label;
  std::string slug;  // its folder's name
  TreeShape shape;
  std::string regex;
  bool million = false;  // the tree whose cycle outlasts the interval
  int64_t entries = 0;
  Figures floor;
  Figures controller;
  std::optional<Figures> ignoring;  // kIgnored: with the ignore list
};

void Progress(const std::string& text) {
  fprintf(stderr, "bench: %s\n", text.c_str());
}

// Runs the programs on the case's tree; false when the tree could not be
// made.
bool RunCase(const Options& o, const std::string& workdir, Case* c) {
  const TreePlan plan = PlanTree(c->shape);
  c->entries = static_cast<int64_t>(plan.entries.size());
  Progress("making the tree: " + c->Title());
  ScratchTree tree(workdir + "/" + c->slug);
  if (std::string err = WriteTree(tree.root(), plan); !err.empty()) {
    Progress("cannot make the tree: " + err);
    return false;
  }
  const bool empty = c->shape.kind == TreeKind::kEmpty;
  // The empty tree serves the memory baseline: a short window, no edits.
  const double window = empty ? std::min(o.window, 5.0) : o.window;
  const std::string target =
      plan.editTarget.empty() ? "" : tree.root() + "/" + plan.editTarget;

  auto run = [&](const char* who, const Program& p, Figures* out) {
    if (Interrupted()) return;
    Progress(c->Title() + ": " + who);
    *out = Measure(p, window, target, o.edits);
    if (!out->error.empty())
      Progress(std::string(who) + " failed: " + out->error);
  };
  run("floor walker", FloorProgram(o, tree.root()), &c->floor);
  run("controller", ControllerProgram(o, tree.root(), c->regex, ""),
      &c->controller);
  if (!plan.ignored.empty()) {
    c->ignoring.emplace();
    run("controller with the ignore list",
        ControllerProgram(o, tree.root(), c->regex,
                          tree.root() + "/" + plan.ignored),
        &*c->ignoring);
  }
  return true;
}

double Ratio(double a, double b) {
  return b > 0 ? a / b : kNaN;
}

// Goals, with what each is measured on.
const Goal kCpuGoal{Goal::Unit::kRatio, 1.15};
// Peak memory, so at every moment, the first cycle after the filters are
// added included; on every tree.
const Goal kMemoryGoal{Goal::Unit::kBytes, 100};
const Goal kIgnoredGoal{Goal::Unit::kRatio, 0.2};
const Goal kNonMatchingGoal{Goal::Unit::kRatio, 0.4};
const Goal kStartupGoal{Goal::Unit::kRatio, 1.2};
const Goal kLatencyGoal{Goal::Unit::kSecondsDifference, 0.15};
// A million entries.
const Goal kMillionCpuGoal{Goal::Unit::kRatio, 1.05};
const Goal kMillionMemoryGoal{Goal::Unit::kBytes, 80};
const Goal kMillionStartupGoal{Goal::Unit::kRatio, 1.1};
// A cycle longer than the interval: one cycle at a time (at most one core
// busy, no thread more), and no memory more at the end of the window than
// at its start.
const Goal kBusyGoal{Goal::Unit::kRatio, 1.0};
const Goal kThreadsGoal{Goal::Unit::kRatio, 1.0};
const Goal kGrowthGoal{Goal::Unit::kBytes, 1};

const char kLegend[] =
    "Trees: packages of folders three to five deep, about ten small files a\n"
    "folder. 9/10 ignorable: nine tenths of the entries under one folder,\n"
    "run without and with that folder in ZORVANE_WATCH_IGNORE_DIR (the floor\n"
    "always walks it all). non-matching: no file name matches the pattern\n"
    "\\.js$ (.* elsewhere). one in ten: folders of 1,000 files right below\n"
    "the root, one name in ten matching \\.js$. The million tree's files are\n"
    "empty (a walk reads statuses only).\n"
    "CPU per cycle = CPU used in the window x interval / (window - CPU used).\n"
    "Peak memory/entry = (peak resident - peak resident on the empty tree)\n"
    "/ entries. Latency: from appending to a watched file to the program's\n"
    "line for it (the controller's \"Running: :\"). Over the CPU window:\n"
    "cores busy = CPU used / window; threads and resident memory at its end\n"
    "against its start.\n";

// Counts the goals judged and met.
struct Tally {
  int met = 0;
  int judged = 0;
  std::string Judge(const Goal& g, double value) {
    ++judged;
    met += g.Met(value);
    return g.Verdict(value);
  }
};

// The rows of one tree: the floor's figures beside the controller's `ctl`.
// Which goals are judged depends on the tree; `unignored`, for a run with
// the ignore list, is the same controller's run without it.
void AddRows(Table* t, Tally* tally, const std::string& label, const Case& c,
             const Figures& ctl, const Figures* unignored, const Case& empty,
             int edits) {
  const Figures& floor = c.floor;
  const bool matching = c.shape.kind == TreeKind::kMatching;
  auto judge = [&](bool judged, const Goal& g, double value, std::string* goal,
                   std::string* verdict) {
    if (!judged) return;
    *goal = g.Text();
    *verdict = tally->Judge(g, value);
  };

  const double cpuRatio = Ratio(ctl.cpuPerCycle, floor.cpuPerCycle);
  std::string goal, verdict;
  judge(matching, c.million ? kMillionCpuGoal : kCpuGoal, cpuRatio, &goal,
        &verdict);
  judge(c.shape.kind == TreeKind::kNonMatching, kNonMatchingGoal, cpuRatio,
        &goal, &verdict);
  if (unignored != nullptr) {
    judge(true, kIgnoredGoal, Ratio(ctl.cpuPerCycle, unignored->cpuPerCycle),
          &goal, &verdict);
    goal += " of no list";
  }
  t->Add({label, "CPU per cycle", SecondsText(floor.cpuPerCycle),
          SecondsText(ctl.cpuPerCycle), RatioText(cpuRatio), goal, verdict});

  goal = verdict = "";
  if (c.shape.kind == TreeKind::kEmpty) {
    const double f = static_cast<double>(floor.peak);
    const double k = static_cast<double>(ctl.peak);
    t->Add({"", "peak memory", BytesText(f), BytesText(k),
            RatioText(Ratio(k, f)), "the baseline", ""});
  } else {
    const double f = BytesPerEntry(floor.peak, empty.floor.peak, c.entries);
    const double k = BytesPerEntry(ctl.peak, empty.controller.peak, c.entries);
    judge(true, c.million ? kMillionMemoryGoal : kMemoryGoal, k, &goal,
          &verdict);
    t->Add({"", "peak memory/entry", BytesText(f), BytesText(k),
            RatioText(Ratio(k, f)), goal, verdict});
  }

  goal = verdict = "";
  const double startRatio = Ratio(ctl.startup, floor.startup);
  judge(matching, c.million ? kMillionStartupGoal : kStartupGoal, startRatio,
        &goal, &verdict);
  t->Add({"", "start-up, median of " + std::to_string(kStartups),
          SecondsText(floor.startup), SecondsText(ctl.startup),
          RatioText(startRatio), goal, verdict});

  if (c.million) {
    // The controller alone: its cycle against the interval, and what the
    // window shows of cycles piling up.
    t->Add({"", "cycle / interval", "", RatioText(ctl.cpuPerCycle / kInterval),
            "", "longer than the interval", ""});
    goal = verdict = "";
    judge(true, kBusyGoal, ctl.busy, &goal, &verdict);
    t->Add({"", "cores busy in the window", RatioText(floor.busy),
            RatioText(ctl.busy), "", goal, verdict});
    goal = verdict = "";
    const double threads =
        Ratio(static_cast<double>(ctl.windowEnd.threads),
              static_cast<double>(ctl.windowStart.threads));
    judge(true, kThreadsGoal, threads, &goal, &verdict);
    t->Add({"", "threads, end / start of window", "",
            std::to_string(ctl.windowStart.threads) + " -> " +
                std::to_string(ctl.windowEnd.threads),
            RatioText(threads), goal, verdict});
    goal = verdict = "";
    const double growth = BytesPerEntry(ctl.windowEnd.resident,
                                        ctl.windowStart.resident, c.entries);
    judge(true, kGrowthGoal, growth, &goal, &verdict);
    t->Add({"", "resident growth in the window/entry",
            BytesText(BytesPerEntry(floor.windowEnd.resident,
                                    floor.windowStart.resident, c.entries)),
            BytesText(growth), "", goal, verdict});
  }

  if (!std::isnan(floor.latency) || !std::isnan(ctl.latency)) {
    goal = verdict = "";
    const double diff = ctl.latency - floor.latency;
    judge(true, kLatencyGoal, diff, &goal, &verdict);
    t->Add({"", "latency, median of " + std::to_string(edits),
            SecondsText(floor.latency), SecondsText(ctl.latency),
            DifferenceText(diff), goal, verdict});
  }
  if (!floor.error.empty()) t->Add({"", "failed", floor.error});
  if (!ctl.error.empty()) t->Add({"", "failed", "", ctl.error});
}

void PrintTable(const Options& o, const std::vector<Case>& cases) {
  Table t({"tree", "measure", "floor", "controller", "controller vs floor",
           "goal", "verdict"});
  Tally tally;
  for (const Case& c : cases) {
    AddRows(&t, &tally, c.Title(), c, c.controller, nullptr, cases.front(),
            o.edits);
    if (c.ignoring) {
      AddRows(&t, &tally, c.Title() + ", ignore list", c, *c.ignoring,
              &c.controller, cases.front(), o.edits);
    }
  }
  printf("\nzorvane-controller against the floor walker, polling every %d s\n",
         kIntervalSeconds);
  printf("machine: %s\n", MachineText().c_str());
  printf("CPU window %.0f s a run; seed %llu\n\n", o.window,
         static_cast<unsigned long long>(o.seed));
  printf("%s\n", t.Markdown().c_str());
  printf("Goals met: %d of %d.\n\n", tally.met, tally.judged);
  printf("%s", kLegend);
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  CatchInterrupts();
  AdoptOrphans();

  Workdir workdir;
  if (!workdir.Make(o.workdir, "zorvane-bench", "process_bench")) return 1;

  std::vector<Case> cases;
  auto add = [&](const char* label, const char* slug, TreeKind kind,
                 int64_t entries, const char* regex) -> Case& {
    Case& c = cases.emplace_back();
    c.label = label;
    c.slug = slug;
    c.shape = {kind, entries, o.seed};
    c.regex = regex;
    return c;
  };
  // The empty tree first: it is every other tree's memory baseline.
  add("empty", "empty", TreeKind::kEmpty, 0, ".*");
  add("matching", "m10k", TreeKind::kMatching, 10000, ".*");
  add("matching", "m100k", TreeKind::kMatching, 100000, ".*");
  add("9/10 ignorable", "ign10k", TreeKind::kIgnored, 10000, ".*");
  add("non-matching", "non10k", TreeKind::kNonMatching, 10000, "\\.js$");
  // 200 folders of 1,000 files.
  add("one in ten", "ten200k", TreeKind::kOneInTen,
      200 * (kFilesPerWideFolder + 1), "\\.js$");
  if (o.million) {
    Case& c = add("matching", "m1m", TreeKind::kMatching, 1000000, ".*");
    c.shape.emptyFiles = true;
    c.million = true;
  }

  bool ok = true;
  for (Case& c : cases) {
    if (Interrupted() || !RunCase(o, workdir.path(), &c)) {
      ok = false;
      break;
    }
  }
  if (Interrupted()) {
    Progress("interrupted");
    return 130;
  }
  if (!ok) return 1;
  PrintTable(o, cases);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  return bench::Main(argc, argv);
}
