// bench_tree DIR KIND ENTRIES [SEED]
//
// Makes one of the benchmark's trees in DIR, for profiling a program by
// hand on the same tree the benchmark uses. KIND is matching, ignored,
// non-matching or one-in-ten (ENTRIES entries), or empty. Prints the folder to ignore and
// the file to edit, where the kind has them.

#include <cstdio>
#include <string>
#include <string_view>

#include "bench/number.h"
#include "bench/tree_gen.h"

namespace {

bool ParseKind(std::string_view s, bench::TreeKind* kind) {
  if (s == "empty")
    *kind = bench::TreeKind::kEmpty;
  else if (s == "matching")
    *kind = bench::TreeKind::kMatching;
  else if (s == "ignored")
    *kind = bench::TreeKind::kIgnored;
  else if (s == "non-matching")
    *kind = bench::TreeKind::kNonMatching;
  else if (s == "one-in-ten")
    *kind = bench::TreeKind::kOneInTen;
  else
    return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bench::TreeShape shape;
  if (argc < 4 || argc > 5 || !ParseKind(argv[2], &shape.kind) ||
      !bench::ParseNumber(std::string_view(argv[3]), &shape.entries) ||
      shape.entries < 0 ||
      (argc == 5 &&
       !bench::ParseNumber(std::string_view(argv[4]), &shape.seed))) {
    fprintf(stderr,
            "usage: bench_tree DIR "
            "empty|matching|ignored|non-matching|one-in-ten ENTRIES [SEED]\n");
    return 2;
  }
  const std::string root = argv[1];
  const bench::TreePlan plan = bench::PlanTree(shape);
  if (std::string err = bench::WriteTree(root, plan); !err.empty()) {
    fprintf(stderr, "bench_tree: %s\n", err.c_str());
    return 1;
  }
  printf("%zu entries in %s\n", plan.entries.size(), root.c_str());
  if (!plan.ignored.empty())
    printf("ignore: %s/%s\n", root.c_str(), plan.ignored.c_str());
  if (!plan.editTarget.empty()) {
    printf("edit: %s/%s\n", root.c_str(), plan.editTarget.c_str());
  }
  return 0;
}
