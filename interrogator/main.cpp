// interrogator: the channel broker. Pairs the server and the client of each
// named channel and relays their bytes; runs until it is killed.
#include "interrogator.h"
#include "kestle.h"

int main()
{
    // When this fails, creating the socket fails and says so.
    osal_winsockInit();
    Interrogator *broker = Interrogator::getInstance();
    // Nobody could find a broker that is not in the socket map.
    if (broker->createSocket() != 0)
        Interrogator::fatal("Failed to add socket to sockmap\n");
    broker->startListen();
    broker->run();
}
