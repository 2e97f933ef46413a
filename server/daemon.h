// The daemon's start-up sequence and its single-instance lock.
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
// credentials and TLS, the scripts' reaper on the default loop, the session
// thread and the wait for its first TCP connection to the broker (retried for
// ever), both local sockets on the default loop, then the loop. Returns 1
// when the MQTT client cannot be created, given its credentials or started;
// returns 0 should the loop ever end. Ends the process itself on argument
// errors (1), a port, keepalive, qos or subqos the session cannot use or
// clean session off without an id (1, before the lock and any socket), a
// held lock (1), a stream socket failure (1), and a will, datagram socket
// or key-password failure (255).
int daemon_main(int argc, char** argv);

#endif  // QUORREL_SERVER_DAEMON_H_
