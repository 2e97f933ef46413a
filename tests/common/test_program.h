// A small option table for exercising the engine and the configuration-file
// reader without either program's settings.
#ifndef QUORREL_TESTS_COMMON_TEST_PROGRAM_H_
#define QUORREL_TESTS_COMMON_TEST_PROGRAM_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/cmdline_engine.h"

struct test_args_t {
  const char* help_help;
  const char* version_help;
  char* config_arg;
  char* config_orig;
  const char* config_help;
  char* host_arg;
  char* host_orig;
  const char* host_help;
  int32_t port_arg;
  char* port_orig;
  const char* port_help;
  int32_t clean_flag;
  const char* clean_help;
  char* topic_arg;
  char* topic_orig;
  const char* topic_help;
  int32_t daemon_flag;
  const char* daemon_help;
  uint32_t help_given;
  uint32_t version_given;
  uint32_t config_given;
  uint32_t host_given;
  uint32_t port_given;
  uint32_t clean_given;
  uint32_t topic_given;
  uint32_t daemon_given;
};

inline const char* kTestHelp[] = {
    "  -h, --help           Print help and exit",
    "  -V, --version        Print version and exit",
    "  -c, --config=STRING  config files",
    "      --host=STRING    host",
    "  -p, --port=INT       port  (default=`1883')",
    "      --clean          clean  (default=on)",
    "  -t, --topic=STRING   topic",
    "      --daemon         daemon mode  (default=off)",
    nullptr,
};

#define TEST_FIELD(name) offsetof(test_args_t, name)
inline const cmdline_option kTestOptions[] = {
    {"help", 'h', ARG_NO, 0, false, kNoField, kNoField, TEST_FIELD(help_help),
     TEST_FIELD(help_given)},
    {"version", 'V', ARG_NO, 0, false, kNoField, kNoField, TEST_FIELD(version_help),
     TEST_FIELD(version_given)},
    {"config", 'c', ARG_STRING, 0, false, TEST_FIELD(config_arg), TEST_FIELD(config_orig),
     TEST_FIELD(config_help), TEST_FIELD(config_given)},
    {"host", 0, ARG_STRING, 0, true, TEST_FIELD(host_arg), TEST_FIELD(host_orig),
     TEST_FIELD(host_help), TEST_FIELD(host_given)},
    {"port", 'p', ARG_INT, 1883, false, TEST_FIELD(port_arg), TEST_FIELD(port_orig),
     TEST_FIELD(port_help), TEST_FIELD(port_given)},
    {"clean", 0, ARG_FLAG, 1, false, TEST_FIELD(clean_flag), kNoField, TEST_FIELD(clean_help),
     TEST_FIELD(clean_given)},
    {"topic", 't', ARG_STRING, 0, true, TEST_FIELD(topic_arg), TEST_FIELD(topic_orig),
     TEST_FIELD(topic_help), TEST_FIELD(topic_given)},
    {"daemon", 0, ARG_FLAG, 0, false, TEST_FIELD(daemon_flag), kNoField, TEST_FIELD(daemon_help),
     TEST_FIELD(daemon_given)},
};
#undef TEST_FIELD

inline const cmdline_program kTestProgram = {
    "testprog",
    "1.0.0",
    "",
    "Usage: testprog [OPTIONS]...",
    "",
    "",
    kTestHelp,
    kTestOptions,
    sizeof(kTestOptions) / sizeof(kTestOptions[0]),
};

// An argument vector with writable strings, as getopt_long wants.
class ArgVector {
 public:
  explicit ArgVector(std::vector<std::string> args) : storage_(std::move(args)) {
    for (auto& s : storage_) pointers_.push_back(&s[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

#endif  // QUORREL_TESTS_COMMON_TEST_PROGRAM_H_
