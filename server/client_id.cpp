#include "server/client_id.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "common/log.h"
#include "common/random_bytes.h"
#include "server/alloc.h"
#include "server/settings.h"

namespace client_id_detail {

char* getrandom(char* buffer, int size) {
  // The device is opened apart from the draw, as only a failed open has a
  // line of its own; random_device keeps it, and a later call tries again.
  if (random_device() < 0) {
    const int err = errno;
    fprintf(stderr, "fopen %s failed: %s(%d)\n", kRandomDevice, strerror(err), err);
    return buffer;
  }
  // A failed or short read leaves the rest of the value 0, which still
  // yields a digit.
  uint32_t value = 0;
  (void)random_bytes(&value, sizeof value);
  snprintf(buffer, static_cast<size_t>(size - 1), "%lu", static_cast<unsigned long>(value));
  buffer[size - 1] = '\0';
  return buffer;
}

}  // namespace client_id_detail

char* generate_randomid() {
  const bool has_prefix = args_info.id_given != 0 && args_info.id_arg != nullptr;
  const size_t prefix_len = has_prefix ? strlen(args_info.id_arg) : 0;
  char* id = static_cast<char*>(ss_malloc(prefix_len + 17));
  if (has_prefix) memcpy(id, args_info.id_arg, prefix_len + 1);
  client_id_detail::getrandom(id + prefix_len, 17);
  return id;
}

bool client_id_usable() {
  if (args_info.clean_session_flag != 0) return true;
  // The broker keeps a session under its identifier: a fresh one at every
  // start would leave the last start's session, and the messages queued for
  // it, behind for good.
  if (args_info.id_given == 0 || args_info.id_arg == nullptr || args_info.id_arg[0] == '\0') {
    diag_err(
        "clean session off needs an id (-i/--id): the broker keeps the session under it "
        "across restarts\n");
    return false;
  }
  return true;
}

char* session_client_id() {
  if (!client_id_usable()) return nullptr;
  char* id = nullptr;
  if (args_info.clean_session_flag != 0) {
    id = generate_randomid();
  } else {
    const size_t length = strlen(args_info.id_arg);
    id = static_cast<char*>(ss_malloc(length + 1));
    memcpy(id, args_info.id_arg, length + 1);
  }
  diag_debug("id: %s\n", id);
  return id;
}
