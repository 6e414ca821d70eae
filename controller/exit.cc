#include "controller/exit.h"

#include <cstdlib>

namespace controller {

void ExitProcess(int status) {
  std::_Exit(status);
}

}  // namespace controller
