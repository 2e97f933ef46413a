/* Tells how this machine runs 32-bit x86 programs. Natively, the kernel
 * answers uname() for a 32-bit process with its own machine, x86_64; under
 * qemu-i386 the emulator answers with the emulated one, i686. A kernel built
 * or booted without 32-bit x86 support does not run this at all.
 * Exit status: 42 native, 43 emulated. */
#include <string.h>
#include <sys/utsname.h>

int main(void) {
  struct utsname u;
  if (uname(&u) != 0) return 2;
  return strcmp(u.machine, "x86_64") == 0 ? 42 : 43;
}
