// scrived: the log daemon. Appends what every loopback client sends to
// /dev/log/main under the root directory; runs until it is killed.
#include "kestle.h"
#include "log_daemon.h"

int main()
{
    // When this fails, creating the socket fails and says so.
    osal_winsockInit();
    LogDaemon *daemon = LogDaemon::getInstance();
    daemon->setup();
    daemon->run();
}
