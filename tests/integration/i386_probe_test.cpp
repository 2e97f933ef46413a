// The i386 target's tests run natively where the kernel runs 32-bit x86
// programs and under qemu-i386 where it does not; scripts/i386-probe.sh tells
// which. Only x86-64 builds run it: it is about this machine, not a target.
#if defined(__x86_64__)

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/process.h"

namespace quorrel_test {
namespace {

const std::string kProbe = std::string(SOURCE_DIR) + "/scripts/i386-probe.sh";

// Kills every process that makes a 32-bit x86 system call: this kernel, as
// its child sees it, does not run 32-bit x86 programs. qemu-i386 makes
// x86-64 system calls only, so programs it runs still run.
bool forbid_i386_system_calls() {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs the probe script (with `via` as its --via emulator when not empty)
// and returns the word it printed, or "failed: ..." when it did not print one.
std::string probe(bool without_i386_kernel, const std::string& via = "") {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "failed: pipe";
  const pid_t pid = fork();
  if (pid < 0) return "failed: fork";
  if (pid == 0) {
    dup2(out[1], 1);
    if (without_i386_kernel && !forbid_i386_system_calls()) _exit(120);
    if (via.empty()) {
      execl("/bin/sh", "sh", kProbe.c_str(), static_cast<char*>(nullptr));
    } else {
      execl("/bin/sh", "sh", kProbe.c_str(), "--via", via.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "failed: status " + std::to_string(status) + " " + text;
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool have(const std::string& program) {
  return run_command({"sh", "-c", "command -v " + program}).exit_code == 0;
}

// Whether binfmt_misc has an enabled qemu-i386 entry, which answers for
// every 32-bit x86 program whatever the kernel could do itself.
bool qemu_i386_entry_enabled() {
  std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
  std::string first;
  return std::getline(entry, first) && first == "enabled";
}

TEST(I386ProbeTest, TellsANativeKernelFromOneWithoutI386AndNeverTakesQemuForNative) {
  if (!have("i686-linux-gnu-gcc")) GTEST_SKIP() << "no i386 toolchain: scripts/setup.sh --cross";
  const bool entry = qemu_i386_entry_enabled();

  const std::string here = probe(false);
  if (entry) {
    EXPECT_EQ(here, "emulated") << "binfmt_misc's qemu-i386 entry runs every i386 program";
  } else {
    EXPECT_TRUE(here == "native" || here == "none") << here;
  }

  // A kernel that does not run them: never "native"; qemu takes over only
  // through a binfmt entry.
  EXPECT_EQ(probe(true), entry ? "emulated" : "none");

  if (!have("qemu-i386-static")) return;
  // Through qemu the answer is "emulated", with or without the kernel's own
  // 32-bit support: this is what makes the tests' emulator allowances apply.
  EXPECT_EQ(probe(false, "qemu-i386-static"), "emulated");
  EXPECT_EQ(probe(true, "qemu-i386-static"), "emulated");
}

}  // namespace
}  // namespace quorrel_test

#endif  // defined(__x86_64__)
