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
//   relay <------- session_state::wake ------- mqtt_session callbacks
//     |   <------- session_state::give_back --   (up, down, acknowledged)
//     |-- message_queue: front, queue_spool files, memory
//     v
//   publish_held -> mosquitto_publish; publish_count keeps our copies
//     until the library reports them written or acknowledged
//
// One way: ingress -> relay -> queue -> session. The relay reads the
// session's state once per message, hands the message to the session when
// nothing waits before it, else queues it (or drops it without a queue),
// pauses both sockets from the queue's fill level, and answers the writers
// that asked for a verdict. The session thread never calls into the ingress:
// it wakes the relay (session_state::wake) and gives back what a lost
// session left unfinished (session_state::give_back). Scripts are started by
// script_runner, on the main thread's loop.
//
// Thread: main thread. daemon_main starts the session thread
// (session_supervisor), which runs libmosquitto, and then runs the default
// libev loop for the rest of the process's life.
#ifndef QUORREL_SERVER_DAEMON_H_
#define QUORREL_SERVER_DAEMON_H_

// Takes an exclusive lock on "/var/run/quorrel_client_<prog>.pid" and keeps
// it (the descriptor is never closed) for the life of the process. Returns
// when this process may go on, also when the lock file cannot be opened (a
// `prog` with a slash names no file) or locked for another reason. Ends the
// process with status 1, after a WARNING, when another process holds it.
void one_instance(const char* prog);

// quorreld's whole life: arguments, lock, detach, MQTT client with will,
// credentials and TLS, the scripts' reaper on the default loop, the queue
// (its directory locked), the session thread and, without a queue, the wait
// for its first TCP connection to the broker (retried for ever), both local
// sockets on the default loop (with a queue, before the session thread), the
// relay, then the loop; an orderly stop on SIGTERM or SIGINT (relay.h) ends
// the process with status 0. Returns 1
// when the MQTT client cannot be created, given its credentials or started;
// returns 0 should the loop ever end. Ends the process itself on argument
// errors (1), a port, keepalive, qos or subqos the session cannot use or
// clean session off without an id, a queuesize out of range or a queuedir
// without a queuesize (1, before the lock and any socket), a held lock or
// queue directory (1), a queue directory it cannot use (1), a failure to
// detach with `daemon` (1), a stream socket failure (1), and a will, datagram
// socket or key-password failure (255).
int daemon_main(int argc, char** argv);

#endif  // QUORREL_SERVER_DAEMON_H_
