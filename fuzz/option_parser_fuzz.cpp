// Feeds arbitrary argument vectors (arguments separated by NUL bytes)
// through the option engine with the daemon's table.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/cmdline_engine.h"
#include "server/settings.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Run with -close_fd_mask=3 to silence the messages of the code under test.
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kMaxArgs = 64;
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';

  char program[] = "quorreld";
  char* argv[kMaxArgs + 2];
  int argc = 0;
  argv[argc++] = program;
  for (size_t i = 0; i <= size && argc <= kMaxArgs;) {
    argv[argc++] = text + i;
    i += strlen(text + i) + 1;
  }
  argv[argc] = nullptr;

  cmdline_parser_params params;
  cmdline_params_defaults(&params);
  params.print_errors = 0;
  params.check_ambiguity = data[0] & 1;
  args_info_t record{};
  cmdline_record_init(kCmdlineProgram, &record);
  parse_argument_vector(kCmdlineProgram, argc, argv, &record, &params, " in fuzz");
  // A second parse into the same record, as the configuration file does.
  params.initialize = 0;
  parse_argument_vector(kCmdlineProgram, argc, argv, &record, &params, nullptr);
  release_settings(kCmdlineProgram, &record);
  free(text);
  return 0;
}
