#include "server/daemon_exit.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<bool> second_thread{false};

}  // namespace

void daemon_exit(int status) noexcept {
  if (!second_thread.load(std::memory_order_acquire)) exit(status);
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

void daemon_exit_second_thread() noexcept { second_thread.store(true, std::memory_order_release); }
