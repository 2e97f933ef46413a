// quorreld: relays local datagrams and stream connections to one MQTT topic.
#include "server/daemon.h"

int main(int argc, char** argv) { return daemon_main(argc, argv); }
