// The daemon's MQTT client identifier. With clean session on, the `id`
// setting as prefix, followed by the decimal text of 32 random bits, so every
// start presents a new one. With clean session off, the `id` setting exactly,
// so that every start finds the session the broker kept.
//
// Thread: main thread, start-up only.
#ifndef QUORREL_SERVER_CLIENT_ID_H_
#define QUORREL_SERVER_CLIENT_ID_H_

namespace client_id_detail {

// Writes the decimal text of one random 32-bit value from /dev/urandom
// (common/random_bytes.h) into `buffer` (at most size - 1 characters,
// NUL-terminated) and returns it. The device stays open for the life of the
// process. When it cannot be opened, writes a line to standard error and
// returns `buffer` unchanged.
// Not the C library's getrandom, hence the namespace. REQUIRES: size >= 2.
char* getrandom(char* buffer, int size);

}  // namespace client_id_detail

// Returns a new identifier: the `id` setting (when given) followed by 1 to 10
// decimal digits. The caller owns it and, in the daemon, keeps it for the life
// of the process. Never null: memory exhaustion ends the process (status 1).
char* generate_randomid();

// False after one ERR line when clean session is off and `id` is not given
// or empty: the broker could not keep that session across restarts. Checked
// with the other settings, before the lock, so that the refusal is the exit
// status of the command that was run, also with --daemon.
bool client_id_usable();

// Returns the identifier the session presents: generate_randomid() with clean
// session on; with it off, a copy of the `id` setting. The caller owns it, as
// above. Null after one ERR line when clean session is off and `id` is not
// given or empty: the caller ends start-up.
char* session_client_id();

#endif  // QUORREL_SERVER_CLIENT_ID_H_
