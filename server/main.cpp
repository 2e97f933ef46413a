// quorreld: relays local datagrams and stream connections to one MQTT topic.
#include "server/daemon.h"
#include "server/daemon_exit.h"

int main(int argc, char** argv) { daemon_exit(daemon_main(argc, argv)); }
