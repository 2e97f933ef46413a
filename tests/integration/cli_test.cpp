// Black-box tests of both programs' command lines and configuration files.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/log_line.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::CommandResult;
using quorrel_test::LogLine;
using quorrel_test::parse_log_line;
using quorrel_test::path_exists;
using quorrel_test::read_file;
using quorrel_test::run_command;
using quorrel_test::TempDir;
using quorrel_test::write_file;

const std::string kDaemon = QUORRELD_PATH;
const std::string kClient = QUORREL_CLIENT_PATH;

CommandResult RunProgram(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  return run_command(args, std::chrono::milliseconds(10000));
}

const char kDaemonHelp[] =
    "quorreld 1.0.0\n"
    "\n"
    "Usage: quorreld [OPTIONS]...\n"
    "\n"
    "  -h, --help                Print help and exit\n"
    "  -V, --version             Print version and exit\n"
    "  -c, --config=STRING       config files\n"
    "      --unixsock=STRING     unix socket path\n"
    "  -u, --unixudpsock=STRING  unix udp socket path\n"
    "      --host=STRING         host\n"
    "  -p, --port=INT            port  (default=`1883')\n"
    "      --keepalive=INT       keepalive  (default=`10')\n"
    "  -q, --qos=INT             qos class  (default=`0')\n"
    "      --subqos=INT          sub qos class  (default=`0')\n"
    "  -i, --id=STRING           id\n"
    "      --clean_session       clean session  (default=on)\n"
    "  -t, --topic=STRING        topic\n"
    "      --subtopic=STRING     subtopic\n"
    "      --insecure            insecure  (default=on)\n"
    "      --username=STRING     username\n"
    "      --password=STRING     password\n"
    "      --cafile=STRING       cafile\n"
    "      --cert=STRING         cert\n"
    "      --key=STRING          key\n"
    "      --keypassword=STRING  key password\n"
    "      --script=STRING       script\n"
    "      --onconnect=STRING    connected script\n"
    "      --willpayload=STRING  will payload\n"
    "      --willqos=INT         will qos  (default=`0')\n"
    "      --willretain=INT      will retain  (default=`0')\n"
    "      --willtopic=STRING    will topic\n"
    "  -d, --debug=INT           debug level  (default=`4')\n"
    "      --daemon              daemon mode  (default=off)\n"
    "      --queuesize=INT       queue size in KiB  (default=`0')\n"
    "      --queuedir=STRING     queue directory\n"
    "      --protocol=STRING     mqtt protocol, 3.1.1 or 5  (default=`3.1.1')\n"
    "      --sessionexpiry=INT   session expiry in seconds  (default=`0')\n"
    "      --messageexpiry=INT   message expiry in seconds  (default=`0')\n"
    "      --alpn=STRING         tls alpn protocol\n"
    "      --keyform=STRING      key form, pem or engine  (default=`pem')\n"
    "      --tlsengine=STRING    tls engine\n";

const char kClientHelp[] =
    "quorrel_client 1.0.0\n"
    "\n"
    "Usage: quorrel_client [OPTIONS]...\n"
    "\n"
    "  -h, --help             Print help and exit\n"
    "  -V, --version          Print version and exit\n"
    "  -c, --config=STRING    config files\n"
    "      --unixsock=STRING  unix socket path\n"
    "  -f, --file=STRING      data file\n"
    "  -D, --data=STRING      data string\n"
    "  -d, --debug=INT        debug level  (default=`4')\n"
    "      --daemon           daemon mode  (default=off)\n"
    "      --status           print the daemon's status and exit  (default=off)\n";

TEST(CommandLine, HelpAndVersionExactlyAndWithStatusZero) {
  for (const char* flag : {"-h", "--help"}) {
    CommandResult r = RunProgram(kDaemon, {flag});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kDaemonHelp);
    EXPECT_EQ(r.err, "");
  }
  CommandResult r = RunProgram(kClient, {"-h"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kClientHelp);

  r = RunProgram(kDaemon, {"-V"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "quorreld 1.0.0\n");
  r = RunProgram(kClient, {"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "quorrel_client 1.0.0\n");

  // Help wins over missing required options, but not over an earlier error.
  r = RunProgram(kDaemon, {"--host", "h", "-h"});
  EXPECT_EQ(r.exit_code, 0);
  r = RunProgram(kDaemon, {"-p", "x", "-h"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

TEST(CommandLine, RequiredOptionsListedInOrder) {
  CommandResult r = RunProgram(kDaemon, {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kDaemon + ": '--unixsock' option required\n" + kDaemon +
                       ": '--unixudpsock' ('-u') option required\n" + kDaemon +
                       ": '--host' option required\n" + kDaemon +
                       ": '--topic' ('-t') option required\n");

  r = RunProgram(kDaemon, {"--host", "h", "-u", "/tmp/x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kDaemon + ": '--unixsock' option required\n" + kDaemon +
                       ": '--topic' ('-t') option required\n");

  r = RunProgram(kClient, {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kClient + ": '--unixsock' option required\n");
}

TEST(CommandLine, RejectsRepeatedAndMalformedOptions) {
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string err;  // the whole of standard error
  };
  const std::vector<Case> cases = {
      {kDaemon, {"-p", "10", "-p", "20"}, "`--port' (`-p') option given more than once\n"},
      {kDaemon, {"--host", "a", "--host", "b"}, "`--host' option given more than once\n"},
      {kDaemon, {"--insecure", "--insecure"}, "`--insecure' option given more than once\n"},
      {kClient, {"-D", "a", "-D", "b"}, "`--data' (`-D') option given more than once\n"},
      {kDaemon, {"--keepalive", "12abc"}, "invalid numeric value: 12abc\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const CommandResult r = RunProgram(c.program, c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.program + ": " + c.err);
  }

  const CommandResult r = RunProgram(kClient, {"--nosuch"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("nosuch"), std::string::npos);  // getopt_long's own words
}

// Values the MQTT session cannot use end start-up with status 1 before any
// socket exists or the broker is tried, with nothing but one line that names
// the setting and its value (or the option that is missing).
TEST(CommandLine, UnusableSessionSettingsEndStartUpNamingSettingAndValue) {
  struct Case {
    std::vector<std::string> args;
    std::string text;  // the only line on standard error, after its prefix
  };
  const std::vector<Case> cases = {
      {{"-q", "3"}, "ERR: invalid qos: 3 (must be 0, 1 or 2)"},
      {{"--subqos", "-1"}, "ERR: invalid subqos: -1 (must be 0, 1 or 2)"},
      {{"-p", "0"}, "ERR: invalid port: 0 (must be 1 to 65535)"},
      {{"-p", "65536"}, "ERR: invalid port: 65536 (must be 1 to 65535)"},
      {{"--keepalive", "4"}, "ERR: invalid keepalive: 4 (must be 0 or 5 to 65535)"},
      {{"--keepalive", "65536"}, "ERR: invalid keepalive: 65536 (must be 0 or 5 to 65535)"},
      {{"--protocol", "3"}, "ERR: invalid protocol: 3 (must be 3.1.1 or 5)"},
      {{"--protocol", "5.0"}, "ERR: invalid protocol: 5.0 (must be 3.1.1 or 5)"},
      // Expiry intervals are MQTT's 32 bits, wider than the other settings.
      {{"--protocol", "5", "--sessionexpiry", "4294967296"},
       "ERR: invalid sessionexpiry: 4294967296 (must be 0 to 4294967295)"},
      {{"--protocol", "5", "--sessionexpiry", "-1"},
       "ERR: invalid sessionexpiry: -1 (must be 0 to 4294967295)"},
      {{"--messageexpiry", "99999999999999999999"},
       "ERR: invalid messageexpiry: 99999999999999999999 (must be 0 to 4294967295)"},
      {{"--sessionexpiry", "60"}, "ERR: sessionexpiry needs --protocol 5"},
      // TLS needs the CA file, the certificate and the key.
      {{"--alpn", "x-amzn-mqtt-ca"}, "ERR: alpn needs TLS (--cafile)"},
      {{"--alpn", "x-amzn-mqtt-ca", "--cafile", "ca.crt", "--cert", "c.crt"},
       "ERR: alpn needs TLS (--cafile)"},
      {{"--alpn", "", "--cafile", "ca.crt", "--cert", "c.crt", "--key", "c.key"},
       "ERR: invalid alpn:  (must be 1 to 254 characters)"},
      {{"--keyform", "der"}, "ERR: invalid keyform: der (must be pem or engine)"},
      {{"--keyform", "engine", "--key", "pkcs11:object=k"},
       "ERR: keyform engine needs --tlsengine"},
      // A persistent session needs the same identifier at every start.
      {{"--clean_session"},
       "ERR: clean session off needs an id (-i/--id): the broker keeps the session under it "
       "across restarts"},
      {{"--clean_session", "-i", ""},
       "ERR: clean session off needs an id (-i/--id): the broker keeps the session under it "
       "across restarts"},
  };
  TempDir dir("cli");
  const std::string stream_path = dir.file("s");
  const std::string dgram_path = dir.file("d");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> args = {"--unixsock", stream_path, "-u", dgram_path,
                                     "--host",     "127.0.0.1", "-t", "t"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CommandResult r = RunProgram(kDaemon, args);
    EXPECT_EQ(r.exit_code, 1);
    LogLine line;
    ASSERT_TRUE(!r.err.empty() && r.err.find('\n') == r.err.size() - 1 &&
                parse_log_line(r.err.substr(0, r.err.size() - 1), &line))
        << r.err;
    EXPECT_EQ(line.text, c.text);
    EXPECT_FALSE(path_exists(stream_path));
    EXPECT_FALSE(path_exists(dgram_path));
  }
  // The ends of each range are taken: the daemon goes on to wait for a
  // broker that is not there (port 65535) until it is killed.
  const CommandResult r = run_command({kDaemon,      "--unixsock",
                                       stream_path,  "-u",
                                       dgram_path,   "--host",
                                       "127.0.0.1",  "-t",
                                       "t",          "-p",
                                       "65535",      "-q",
                                       "2",          "--subqos",
                                       "2",          "--keepalive",
                                       "5",          "-d",
                                       "0",          "--protocol",
                                       "5",          "--sessionexpiry",
                                       "4294967295", "--messageexpiry",
                                       "4294967295"},
                                      std::chrono::milliseconds(1500));
  EXPECT_FALSE(r.finished) << "exit status " << r.exit_code << ", " << r.err;
}

// The sender stops right after argument processing when nothing listens at
// its socket path, and says why; a path of 108 characters is refused before
// a socket exists. That makes it a cheap probe of which settings won.
class ConfigFileCli : public ::testing::Test {
 protected:
  std::string Conf(const std::string& name, const std::string& text) {
    std::string path = dir_.file(name);
    EXPECT_TRUE(write_file(path, text));
    return path;
  }
  TempDir dir_{"cli"};
  const std::string long_path_ = "/tmp/" + std::string(103, 'L');  // 108 characters
  const std::string absent_path_ = "/nonexistent-quorrel/s";
};

TEST_F(ConfigFileCli, CommandLineWinsAndFileFillsTheRest) {
  std::string conf = Conf("c.conf", "unixsock " + long_path_ + "\nD from-file\n");
  CommandResult r = RunProgram(kClient, {"-c", conf, "--unixsock", absent_path_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Could not bind connect socket"), std::string::npos) << r.err;

  // unixsock from the file alone satisfies the required option.
  r = RunProgram(kClient, {"-c", conf, "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(long_path_ + " socket name too long"), std::string::npos) << r.err;
}

TEST_F(ConfigFileCli, MissingFileIsSkippedSilently) {
  CommandResult r =
      RunProgram(kClient, {"-c", dir_.file("none.conf"), "--unixsock", absent_path_, "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.find("configuration file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Could not bind connect socket"), std::string::npos) << r.err;
}

TEST_F(ConfigFileCli, ReaderErrorsNameFileAndLine) {
  struct Case {
    std::string text;
    std::string message;
  };
  std::vector<Case> cases = {
      {"# c\nunixsock = a b\n", ":2: malformed string in configuration file\n"},
      {"unixsock 'open\n", ":1: unterminated string in configuration file\n"},
      {"unixsock " + std::string(2100, 'x') + "\n", ":1: Line too long in configuration file\n"},
  };
  for (const Case& c : cases) {
    std::string conf = Conf("e.conf", c.text);
    CommandResult r = RunProgram(kClient, {"-c", conf, "-D", "x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "quorrel_client:" + conf + c.message);
  }

  // The daemon's messages carry its own program literal.
  std::string dconf = Conf("d.conf", "host h\ntopic 'x\n");
  CommandResult d = RunProgram(kDaemon, {"-c", dconf});
  EXPECT_EQ(d.exit_code, 1);
  EXPECT_EQ(d.err, "quorreld:" + dconf + ":2: unterminated string in configuration file\n");

  std::string conf = Conf("inc.conf", "include\nunixsock " + absent_path_ + "\n");
  CommandResult r = RunProgram(kClient, {"-c", conf, "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);  // only a warning: the run goes on to connect
  EXPECT_NE(r.err.find("quorrel_client:" + conf + ":1: include requires a filename argument.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("Could not bind connect socket"), std::string::npos) << r.err;

  conf = Conf("bad-inc.conf", "include " + dir_.file("gone.conf") + "\n");
  r = RunProgram(kClient, {"-c", conf, "--unixsock", absent_path_, "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "quorrel_client: Error opening configuration file '" + dir_.file("gone.conf") + "'\n");
}

TEST_F(ConfigFileCli, EngineErrorsInTheFileNameIt) {
  std::string conf = Conf("twice.conf", "f a\nfile b\n");
  CommandResult r = RunProgram(kClient, {"-c", conf, "--unixsock", absent_path_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "quorrel_client: `--file' (`-f') option given more than once in "
            "configuration file " +
                conf + "\n");

  conf = Conf("dq.conf", "topic t\n");
  r = RunProgram(kDaemon, {"-c", conf});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kDaemon + ": '--unixsock' option required\n" + kDaemon +
                       ": '--unixudpsock' ('-u') option required\n" + kDaemon +
                       ": '--host' option required\n");
}

TEST_F(ConfigFileCli, IncludedEntriesStandAtTheIncludeLine) {
  // The engine stops at the first bad entry: the included one comes first.
  Conf("inner.conf", "d 5y\n");
  std::string conf = Conf("outer.conf", "include " + dir_.file("inner.conf") + "\nd 7x\n");
  CommandResult r = RunProgram(kClient, {"-c", conf, "--unixsock", absent_path_, "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quorrel_client: invalid numeric value: 5y\n");
}

// One option as its help line shows it.
struct HelpOption {
  std::string long_name;
  char short_name = 0;
  std::string default_value;  // empty when the option has none
};

// The options of `program`, from its -h output: "  -p, --port=INT  port  (default=`1883')".
std::vector<HelpOption> options_from_help(const std::string& program) {
  const CommandResult r = RunProgram(program, {"-h"});
  EXPECT_EQ(r.exit_code, 0);
  std::vector<HelpOption> options;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t dashes = line.find("--");
    if (line.compare(0, 2, "  ") != 0 || dashes == std::string::npos) continue;
    HelpOption option;
    if (line[2] == '-') option.short_name = line[3];
    const size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", dashes + 2);
    option.long_name = line.substr(dashes + 2, end - dashes - 2);
    const size_t def = line.find("(default=");
    if (def != std::string::npos) {
      const size_t from = def + 9 + (line[def + 9] == '`' ? 1 : 0);
      option.default_value = line.substr(from, line.find_first_of("')", from) - from);
    }
    options.push_back(option);
  }
  return options;
}

// The lines of a file in the source tree.
std::vector<std::string> source_lines(const std::string& relative) {
  std::string text;
  EXPECT_TRUE(read_file(std::string(SOURCE_DIR) + "/" + relative, &text)) << relative;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every option of each program has an entry in its man page: a tagged
// paragraph whose tag names the long option and its short letter, and whose
// text states the default; and the daemon's example configuration lists each
// option, commented out with its default unless it is required.
TEST(Documentation, ManPagesAndExampleConfigurationCoverEveryOption) {
  const std::vector<std::pair<std::string, std::string>> pages = {
      {kDaemon, "man/quorreld.8"}, {kClient, "man/quorrel_client.1"}};
  for (const auto& [program, page] : pages) {
    const std::vector<HelpOption> options = options_from_help(program);
    ASSERT_GE(options.size(), 8u) << program;
    const std::vector<std::string> man = source_lines(page);
    for (const HelpOption& option : options) {
      SCOPED_TRACE(page + ": --" + option.long_name);
      const std::string tag = "\\fB\\-\\-" + option.long_name + "\\fR";
      size_t at = 0;
      while (at + 1 < man.size() &&
             !(man[at] == ".TP" && man[at + 1].find(tag) != std::string::npos)) {
        ++at;
      }
      if (at + 1 >= man.size()) {
        ADD_FAILURE() << "no .TP entry tagged " << tag;
        continue;
      }
      if (option.short_name != 0) {
        EXPECT_NE(man[at + 1].find("\\fB\\-" + std::string(1, option.short_name) + "\\fR,"),
                  std::string::npos)
            << man[at + 1];
      }
      std::string paragraph;
      for (size_t i = at + 2; i < man.size() && man[i].rfind(".TP", 0) != 0 &&
                              man[i].rfind(".SH", 0) != 0 && man[i].rfind(".SS", 0) != 0;
           ++i) {
        paragraph += man[i] + "\n";
      }
      if (!option.default_value.empty()) {
        EXPECT_NE(paragraph.find("Default: " + option.default_value + ".\n"), std::string::npos)
            << paragraph;
      }
    }
  }

  // The required options, from the message of a run without any.
  const std::string missing = RunProgram(kDaemon, {}).err;
  const std::vector<std::string> conf = source_lines("etc/quorreld.conf");
  for (const HelpOption& option : options_from_help(kDaemon)) {
    if (option.long_name == "help" || option.long_name == "version" ||
        option.long_name == "config") {
      continue;
    }
    SCOPED_TRACE("etc/quorreld.conf: " + option.long_name);
    const bool required = missing.find("'--" + option.long_name + "'") != std::string::npos;
    std::vector<std::string> entries;  // lines that set or show the option
    for (const std::string& line : conf) {
      const size_t name = line[0] == '#' ? 1 : 0;
      if (line.compare(name, option.long_name.size(), option.long_name) == 0 &&
          (line.size() == name + option.long_name.size() ||
           line[name + option.long_name.size()] == ' ')) {
        entries.push_back(line);
      }
    }
    if (entries.size() != 1) {
      ADD_FAILURE() << entries.size() << " lines set or show the option";
      continue;
    }
    if (required) {
      EXPECT_NE(entries[0][0], '#') << entries[0];
    } else if (!option.default_value.empty() && option.default_value != "on" &&
               option.default_value != "off") {
      EXPECT_EQ(entries[0], "#" + option.long_name + " " + option.default_value);
    } else {
      EXPECT_EQ(entries[0][0], '#') << entries[0];
    }
  }
}

}  // namespace

namespace {

// Both programs are built to start without the C++ runtime (it costs start-up
// time and resident memory on small devices); a stray static with a guarded
// initialiser or an exception brings it back silently.
TEST(Footprint, NeitherProgramNeedsTheCxxRuntime) {
  for (const std::string& program : {kDaemon, kClient}) {
    const CommandResult r = run_command({"readelf", "-d", program});
    ASSERT_TRUE(r.finished && r.exit_code == 0) << r.err;
#if defined(QUORREL_STATIC)
    // Linked statically, there is no library to name: the program must need
    // none, and must hold none of the runtime's entry points either.
    EXPECT_EQ(r.out.find("(NEEDED)"), std::string::npos) << program << "\n" << r.out;
    const CommandResult syms = run_command({"readelf", "-sW", program});
    ASSERT_TRUE(syms.finished && syms.exit_code == 0) << syms.err;
    for (const char* symbol : {"__cxa_guard_acquire", "__cxa_throw", "__gxx_personality_v0"}) {
      EXPECT_EQ(syms.out.find(symbol), std::string::npos) << program << " holds " << symbol;
    }
#else
    ASSERT_NE(r.out.find("(NEEDED)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("libstdc++"), std::string::npos) << program << "\n" << r.out;
    EXPECT_EQ(r.out.find("libgcc_s"), std::string::npos) << program << "\n" << r.out;
#endif
  }
}

}  // namespace
