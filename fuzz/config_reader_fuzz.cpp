// Feeds arbitrary bytes as a configuration file through the reader and the
// option engine (the sender's table), from memory.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "client/settings.h"
#include "common/config_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Relative includes resolve in an empty directory. Run with
  // -close_fd_mask=3 to silence the messages of the code under test.
  static char dir[] = "/tmp/quorrel-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  atexit([] { rmdir(dir); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (stream == nullptr) return 0;
  cmdline_parser_params params;
  cmdline_params_defaults(&params);
  params.print_errors = 0;
  params.check_required = 1;
  args_info_t record{};
  cmdline_record_init(kCmdlineProgram, &record);
  config_stream_parse(kCmdlineProgram, stream, "fuzz.conf", &record, &params);
  release_settings(kCmdlineProgram, &record);
  fclose(stream);
  return 0;
}
