// The daemon's start-up sequence and its single-instance lock.
//
// How a local message travels, and which thread runs what:
//
//   main thread (libev loop)                     session thread
//   ------------------------                     --------------
//   stream_ingress, dgram_ingress                session_supervisor: connects,
//     one message per connection or datagram       retries, runs libmosquitto
//        |                                          |
//        v                                          v
//   relay <------- mqtt_session::wake -------- mqtt_session callbacks
//     |   <------- mqtt_session::give_back --   (up, down, acknowledged)
//     |-- message_queue: front, queue_spool files, memory
//     v
//   session_publish -> mosquitto_publish; publish_count keeps our copies
//     until the library reports them written or acknowledged
//
// One way: ingress -> relay -> queue -> session. The relay reads the
// session's state once per message, hands the message to the session when
// nothing waits before it, else queues it (or drops it without a queue),
// pauses both sockets from the queue's fill level, and answers the writers
// that asked for a verdict. The session thread never calls into the ingress:
// it wakes the relay (mqtt_session::wake) and gives back what a lost
// session left unfinished (mqtt_session::give_back). Scripts are started by
// script_runner, on the main thread's loop.
//
// On SIGTERM or SIGINT the daemon stops in order: no new connection, open
// ones read for up to kStopSeconds, then what the broker has not
// acknowledged goes to the queue directory (without one, what could not be
// sent meanwhile is counted as lost), and the process ends with status 0
// without a DISCONNECT, so that the broker publishes the will.
//
// Thread: main thread. daemon_main creates the session (mqtt_session),
// starts the session thread (session_supervisor), which runs libmosquitto,
// and then runs the default libev loop for the rest of the process's life.
#ifndef QUORREL_SERVER_DAEMON_H_
#define QUORREL_SERVER_DAEMON_H_

// How long an orderly stop goes on reading open connections (and, without a
// queue directory, sending).
constexpr double kStopSeconds = 2.0;

// Takes an exclusive lock on "/var/run/quorrel_client_<prog>.pid" and keeps
// it (the descriptor is never closed) for the life of the process. Returns
// when this process may go on, also when the lock file cannot be opened (a
// `prog` with a slash names no file) or locked for another reason. Ends the
// process (daemon_exit) with status 1, after a WARNING, when another process
// holds it.
void one_instance(const char* prog);

// quorreld's whole life: arguments, lock, detach, the session with its MQTT
// client (will, credentials and TLS), the scripts' reaper on the default
// loop, the queue (its directory locked), the session thread and, without a
// queue, the wait for its first TCP connection to the broker (retried for
// ever), both local sockets on the default loop (with a queue, before the
// session thread), the relay and the stop signals, then the loop; an orderly
// stop on SIGTERM or SIGINT ends the process with status 0. Never returns:
// the process ends through daemon_exit (daemon_exit.h), when start-up fails
// with status 1 on a port, keepalive, qos or subqos the session cannot use or
// clean session off without an id, a queuesize out of range or a queuedir without a queuesize
// (before the lock and any socket), a queue directory held or unusable, a
// failure to detach, a client that cannot be created, given its credentials
// or started, and a stream socket failure; 255 on a will or datagram socket
// failure; 0 should the loop ever end; also with status 1 on argument
// errors and a held lock, and 255 on a key password too long (on the
// session thread).
[[noreturn]] int daemon_main(int argc, char** argv);

#endif  // QUORREL_SERVER_DAEMON_H_
