#include "base/thread.h"

#include <pthread.h>

#include <system_error>
#include <thread>
#include <utility>

namespace base {

Status StartDetachedThread(std::string name, std::function<void()> body) {
  // The kernel keeps 15 bytes of a thread's name and refuses longer ones.
  if (name.size() > 15) name.resize(15);
  try {
    std::thread thread([name, body = std::move(body)] {
      ::pthread_setname_np(::pthread_self(), name.c_str());
      body();
    });
    thread.detach();
  } catch (const std::system_error& e) {
    return Status("could not start thread " + name + ": " + e.what());
  }
  return Status();
}

}  // namespace base
