// The session thread, one turn at a time, against a broker and a clock of the
// test's making: how long an attempt waits for a broker that does not answer
// and what the log says about it, what becomes of the messages a lost
// session leaves unfinished, and when the attempts come.
#include "server/session_supervisor.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/held_message.h"
#include "server/mqtt_session.h"
#include "server/publish_count.h"
#include "server/retry_schedule.h"
#include "server/settings.h"

namespace {

// The descriptor the pretend library hands out; never a real one.
constexpr int kFakeFd = 4242;

struct fake_world;

// What the pretend broker does with one attempt.
struct broker_answer {
  enum kind { kDropsSyn, kNoConnack, kAccepts } what;
  // kAccepts: how long the session stays up before its connection is lost.
  double session_seconds;
  // kAccepts: called once while the session is up (may be null).
  void (*while_up)(fake_world* world);
};

// The clock, the library and the broker as the session thread sees them in
// these tests, and what the thread did to them. The fakes are plain
// functions, so they reach the current case's world through `world`.
struct fake_world {
  mqtt_session* session = nullptr;
  double clock = 1000.0;
  std::vector<double> draws{0.5};  // handed out in turn, over and over
  size_t draws_made = 0;
  std::vector<double> sleeps;
  std::vector<double> slept_at;  // the clock at each wait's beginning
  std::vector<double> starts;    // the clock at each attempt's connect
  // One answer per attempt; once they run out, every SYN is dropped.
  std::deque<broker_answer> answers;
  broker_answer current{broker_answer::kDropsSyn, 0, nullptr};
  bool connack_sent = false;
  bool while_up_done = false;
  double up_at = 0;
  double attempt_began = 0;  // when the last attempt called connect
  double abandoned_at = 0;   // when the connection was last shut down
  std::string host;
  int port = 0;
  int keepalive = 0;
  void (*on_connect)(struct mosquitto*, void*, int) = nullptr;
  void (*on_disconnect)(struct mosquitto*, void*, int) = nullptr;
  // What the thread did, in order: "shut_down", "give_back", "reinitialise",
  // "setup", "connect_callback_set", "disconnect_callback_set".
  std::vector<std::string> events;
  std::vector<uint64_t> published;   // the copies recorded while up, by arrival number
  std::vector<uint64_t> given_back;  // what reached session.give_back, in order
  bool lock_held_at_give_back = false;
  bool lock_held_at_reinitialise = false;
  uint32_t held_at_reinitialise = 0;
  std::string reinitialise_id;
  bool reinitialise_clean = false;
  void* reinitialise_obj = nullptr;
};

fake_world* world = nullptr;

// True when another thread would block on the session's publish lock now.
bool publish_lock_taken() {
  const int rc = pthread_mutex_trylock(&world->session->publish_lock);
  if (rc == 0) pthread_mutex_unlock(&world->session->publish_lock);
  return rc == EBUSY;
}

double fake_now() { return world->clock; }

void fake_sleep(double seconds) {
  world->sleeps.push_back(seconds);
  world->slept_at.push_back(world->clock);
  if (seconds > 0) world->clock += seconds;
}

double fake_unit_random(uint64_t*) {
  return world->draws[world->draws_made++ % world->draws.size()];
}

int fake_connect_async(struct mosquitto*, const char* host, int port, int keepalive) {
  world->host = host != nullptr ? host : "";
  world->port = port;
  world->keepalive = keepalive;
  world->attempt_began = world->clock;
  world->starts.push_back(world->clock);
  world->connack_sent = false;
  world->while_up_done = false;
  if (world->answers.empty()) {
    world->current = broker_answer{broker_answer::kDropsSyn, 0, nullptr};
  } else {
    world->current = world->answers.front();
    world->answers.pop_front();
  }
  return MOSQ_ERR_SUCCESS;
}

int fake_socket(struct mosquitto*) { return kFakeFd; }

// A dropped SYN leaves the connect under way for as long as it is waited on.
int fake_poll_connect(int fd, int timeout_ms, int*) {
  EXPECT_EQ(fd, kFakeFd);
  if (world->current.what != broker_answer::kDropsSyn) return 1;
  world->clock += timeout_ms / 1000.0;
  return 0;
}

// A broker that answers CONNECT does so at the first call; an accepted
// session then lasts its time, a second per call, and ends with the
// connection lost.
int fake_loop(struct mosquitto* mosq, int timeout, int) {
  switch (world->current.what) {
    case broker_answer::kDropsSyn:
      ADD_FAILURE() << "loop run without a TCP connection";
      return MOSQ_ERR_NO_CONN;
    case broker_answer::kNoConnack:
      world->clock += timeout / 1000.0;
      return MOSQ_ERR_SUCCESS;
    case broker_answer::kAccepts:
      break;
  }
  if (!world->connack_sent) {
    world->connack_sent = true;
    world->up_at = world->clock;
    world->on_connect(mosq, world->session, 0);
    return MOSQ_ERR_SUCCESS;
  }
  if (!world->while_up_done && world->current.while_up != nullptr) {
    world->while_up_done = true;
    world->current.while_up(world);
  }
  if (world->clock - world->up_at < world->current.session_seconds) {
    world->clock += timeout / 1000.0;
    return MOSQ_ERR_SUCCESS;
  }
  errno = 0;
  world->on_disconnect(mosq, world->session, MOSQ_ERR_CONN_LOST);
  return MOSQ_ERR_CONN_LOST;
}

int fake_reinitialise(struct mosquitto*, const char* id, bool clean_session, void* obj) {
  world->events.push_back("reinitialise");
  world->lock_held_at_reinitialise = publish_lock_taken();
  world->held_at_reinitialise = publishes_held(&world->session->records).messages;
  world->reinitialise_id = id != nullptr ? id : "";
  world->reinitialise_clean = clean_session;
  world->reinitialise_obj = obj;
  return MOSQ_ERR_SUCCESS;
}

void fake_connect_callback_set(struct mosquitto*,
                               void (*on_connect)(struct mosquitto*, void*, int)) {
  world->events.push_back("connect_callback_set");
  world->on_connect = on_connect;
}

void fake_disconnect_callback_set(struct mosquitto*,
                                  void (*on_disconnect)(struct mosquitto*, void*, int)) {
  world->events.push_back("disconnect_callback_set");
  world->on_disconnect = on_disconnect;
}

void fake_log_callback_set(struct mosquitto*,
                           void (*)(struct mosquitto*, void*, int, const char*)) {}

bool fake_peer_closed(int) { return false; }

void fake_shut_down(int fd) {
  EXPECT_EQ(fd, kFakeFd);
  world->events.push_back("shut_down");
  world->abandoned_at = world->clock;
}

const session_supervisor_deps kFakeDeps = {
    fake_now,
    fake_sleep,
    fake_unit_random,
    fake_connect_async,
    fake_socket,
    fake_loop,
    fake_reinitialise,
    fake_connect_callback_set,
    fake_disconnect_callback_set,
    fake_log_callback_set,
    fake_poll_connect,
    fake_peer_closed,
    fake_shut_down,
};

bool fake_setup(struct mosquitto*) {
  world->events.push_back("setup");
  return true;
}

// The session's give_back hook: takes the messages over and frees them.
void record_given_back(held_list* messages) {
  world->events.push_back("give_back");
  world->lock_held_at_give_back = publish_lock_taken();
  for (held_message* m = messages->head; m != nullptr; m = m->next) {
    world->given_back.push_back(m->seq);
  }
  held_list_free_all(messages);
}

// While the session is up: three messages are published (message ids 1 to
// 3, with copies), and the broker acknowledges the first.
void publish_three_and_acknowledge_the_first(fake_world* w) {
  for (int mid = 1; mid <= 3; ++mid) {
    held_message* m = held_message_copy("abc", 3);
    w->published.push_back(m->seq);
    publish_taken_message(&w->session->records, mid, m);
  }
  my_publish_callback(w->session->mosq, w->session, 1);
}

// "<the C library's text>(<number>)", as the log writes an errno.
std::string errno_text(int err) {
  return std::string(strerror(err)) + "(" + std::to_string(err) + ")";
}

// A supervisor set up on a real (never connected) client whose user data is
// a real session, with the fake clock, library and broker above. Lines at
// WARNING and above are written; the settings are restored afterwards.
class FakeBrokerAndClock : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = args_info;
    saved_debug_ = debug;
    debug = LOG_WARNING;
    args_info.host_arg = const_cast<char*>("127.0.0.1");
    args_info.port_arg = 1883;
    args_info.keepalive_arg = 7;
    args_info.qos_arg = 1;
    args_info.clean_session_flag = 1;
    world = &world_;
    world_.session = &session_;
    mosquitto_lib_init();
    session_.mosq = mosquitto_new(kId, true, &session_);
    ASSERT_NE(session_.mosq, nullptr);
    session_.give_back = record_given_back;
    began_ = world_.clock;
    session_supervisor_init(&sv_, &session_, kId, fake_setup, &kFakeDeps);
    world_.events.clear();
  }
  void TearDown() override {
    held_list left{};
    take_unfinished_publishes(&session_.records, &left);
    held_list_free_all(&left);
    if (session_.mosq != nullptr) mosquitto_destroy(session_.mosq);
    mosquitto_lib_cleanup();
    world = nullptr;
    args_info = saved_settings_;
    debug = saved_debug_;
  }

  // Makes one turn and returns the lines it wrote, each from its level
  // word on (the source position in front is left out).
  std::vector<std::string> turn() {
    ::testing::internal::CaptureStderr();
    session_supervisor_turn(&sv_);
    const std::string text = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
      size_t end = text.find('\n', from);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(from, end - from);
      const size_t text_at = line.find("(): ");
      lines.push_back(text_at == std::string::npos ? line : line.substr(text_at + 4));
      from = end + 1;
    }
    return lines;
  }

  // How long the last attempt lasted until it was given up.
  double last_attempt_seconds() const { return world_.abandoned_at - world_.attempt_began; }

  static constexpr const char* kId = "qtest-supervisor";
  fake_world world_;
  mqtt_session session_;
  session_supervisor sv_;
  double began_ = 0;

 private:
  args_info_t saved_settings_;
  int saved_debug_ = 0;
};

// A broker whose SYNs are dropped: each start-up attempt is given up once
// kConnectTcpSeconds have passed, with the kernel's reason. The first ten
// are each an ERR line; after them one summary line a minute at most counts
// the attempts it stands for.
TEST_F(FakeBrokerAndClock, StartUpAttemptsWithoutTcpGiveUpAfterFourSecondsThenAreSummarised) {
  const std::string timed_out = errno_text(ETIMEDOUT);
  for (unsigned n = 1; n <= kStartupFailuresSaid; ++n) {
    ASSERT_EQ(turn(), std::vector<std::string>{"ERR: mosquitto_connect failed: " + timed_out})
        << "attempt " << n;
    EXPECT_GE(last_attempt_seconds(), kConnectTcpSeconds) << "attempt " << n;
    EXPECT_LT(last_attempt_seconds(), kConnectTcpSeconds + 0.01) << "attempt " << n;
  }
  EXPECT_EQ(world_.host, "127.0.0.1");
  EXPECT_EQ(world_.port, 1883);
  EXPECT_EQ(world_.keepalive, 7);

  const double last_line_at = world_.clock;
  unsigned silent = 0;
  std::vector<std::string> said;
  while ((said = turn()).empty()) {
    ++silent;
    ASSERT_LT(world_.clock - last_line_at, 60.0) << "no summary after " << silent << " attempts";
  }
  EXPECT_GE(silent, 1u);
  EXPECT_GE(world_.clock - last_line_at, 60.0);
  char summary[256];
  snprintf(summary, sizeof summary,
           "WARNING: still no session after %.0f s: %u attempts failed since the last line, the "
           "last: %s",
           world_.clock - began_, silent + 1, timed_out.c_str());
  EXPECT_EQ(said, std::vector<std::string>{summary});
  EXPECT_LT(last_attempt_seconds(), kConnectTcpSeconds + 0.01);
}

// After a lost session, a broker that takes the TCP connection but never
// answers CONNECT: each attempt is given up once kConnectAttemptSeconds
// have passed, and only the first failure of the outage is a line.
TEST_F(FakeBrokerAndClock, AttemptWithoutConnackGivesUpAfterTenSecondsAndIsSaidOncePerOutage) {
  world_.answers = {{broker_answer::kAccepts, 40, nullptr},
                    {broker_answer::kNoConnack, 0, nullptr},
                    {broker_answer::kNoConnack, 0, nullptr},
                    {broker_answer::kNoConnack, 0, nullptr}};
  EXPECT_EQ(turn(),
            std::vector<std::string>{
                "WARNING: session lost: " + std::string(mosquitto_strerror(MOSQ_ERR_CONN_LOST)) +
                "(" + std::to_string(MOSQ_ERR_CONN_LOST) + "), reconnecting"});
  EXPECT_FALSE(session_up(&session_));

  EXPECT_EQ(turn(), std::vector<std::string>{
                        "WARNING: reconnect failed: " + std::string(strerror(ETIMEDOUT)) +
                        ": no CONNACK after 10 s(" + std::to_string(ETIMEDOUT) + ")"});
  EXPECT_GE(last_attempt_seconds(), kConnectAttemptSeconds);
  EXPECT_LT(last_attempt_seconds(), kConnectAttemptSeconds + 0.01);
  for (int n = 3; n <= 4; ++n) {
    EXPECT_EQ(turn(), std::vector<std::string>{}) << "attempt " << n;
    EXPECT_GE(last_attempt_seconds(), kConnectAttemptSeconds) << "attempt " << n;
    EXPECT_LT(last_attempt_seconds(), kConnectAttemptSeconds + 0.01) << "attempt " << n;
  }
}

// What the library had not finished when the session was lost is taken
// back, oldest first, to the session's give_back, under the publish lock,
// and only then is the client started afresh (and set up again), so that
// the library cannot send again what the daemon now holds.
TEST_F(FakeBrokerAndClock, LostSessionsCopiesAreGivenBackUnderThePublishLockBeforeAFreshStart) {
  world_.answers = {{broker_answer::kAccepts, 40, publish_three_and_acknowledge_the_first}};
  turn();
  ASSERT_EQ(world_.published.size(), 3u);
  EXPECT_EQ(world_.given_back, (std::vector<uint64_t>{world_.published[1], world_.published[2]}));
  EXPECT_EQ(world_.events,
            (std::vector<std::string>{"shut_down", "give_back", "reinitialise", "setup",
                                      "connect_callback_set", "disconnect_callback_set"}));
  EXPECT_TRUE(world_.lock_held_at_give_back);
  EXPECT_TRUE(world_.lock_held_at_reinitialise);
  EXPECT_EQ(world_.held_at_reinitialise, 0u);
  EXPECT_EQ(world_.reinitialise_id, kId);
  EXPECT_TRUE(world_.reinitialise_clean);
  EXPECT_EQ(world_.reinitialise_obj, &session_);
  // Publishing may go on: the lock is free again.
  EXPECT_FALSE(publish_lock_taken());
}

// Attempts start when the retry schedule says, for the random draws made:
// the first a second after start-up; each later one the schedule's interval
// after the start of the one before (the outage's age counted from start-up),
// or at once when that attempt took longer; after a stable session the
// schedule starts again (the first within a second of its end), while a
// short session leaves it going on from where it was.
TEST_F(FakeBrokerAndClock, AttemptsStartOnTheRetryScheduleCountedFromTheOutagesStart) {
  world_.draws = {0.9, 0.1, 0.6, 0.3, 0.75, 0.05, 0.45};
  const broker_answer dropped{broker_answer::kDropsSyn, 0, nullptr};
  world_.answers = {dropped,
                    dropped,
                    dropped,
                    {broker_answer::kAccepts, 40, nullptr},
                    dropped,
                    {broker_answer::kAccepts, 3, nullptr},
                    {broker_answer::kNoConnack, 0, nullptr}};
  for (int n = 0; n < 10; ++n) world_.answers.push_back(dropped);
  const std::vector<broker_answer> script(world_.answers.begin(), world_.answers.end());
  for (size_t n = 0; n < script.size(); ++n) turn();
  ASSERT_EQ(world_.starts.size(), script.size());
  ASSERT_EQ(world_.slept_at.size(), script.size());
  EXPECT_EQ(world_.draws_made, script.size());

  double outage_began = began_;
  bool first_of_outage = true;
  for (size_t n = 0; n < script.size(); ++n) {
    SCOPED_TRACE(::testing::Message() << "attempt " << n + 1);
    const double draw = world_.draws[n % world_.draws.size()];
    const double ended = world_.slept_at[n];  // of the attempt or session before
    double expected;
    if (n == 0) {
      expected = began_ + 1.0;
    } else if (first_of_outage) {
      expected = ended + draw;
    } else {
      const double previous = world_.starts[n - 1];
      expected = previous + retry_interval_seconds(previous - outage_began, draw);
      if (expected < ended) expected = ended;
    }
    EXPECT_NEAR(world_.starts[n], expected, 1e-9);
    if (n > 0) {
      EXPECT_GE(world_.starts[n] - world_.starts[n - 1], kLeastRetryGapSeconds - 1e-9);
    }
    first_of_outage = false;
    if (script[n].what == broker_answer::kAccepts && script[n].session_seconds >= 30) {
      outage_began = world_.slept_at[n + 1];
      first_of_outage = true;
    }
  }
  // The schedule's shape: the attempts that waited for a dropped SYN (4 s)
  // came at once at first, and once the outage is a minute old they are
  // half a minute apart at least.
  EXPECT_NEAR(world_.starts[1], world_.starts[0] + kConnectTcpSeconds, 0.01);
  ASSERT_GE(world_.starts[world_.starts.size() - 2] - outage_began, kLongestRetryGapSeconds);
  EXPECT_GE(world_.starts.back() - world_.starts[world_.starts.size() - 2], 30.0);
}

}  // namespace
