/*
 * peer: the second program of the example guest session. It opens the named
 * channel "example" through the channel broker interrogator as the channel's
 * server, answers the first message it receives, and ends.
 *
 *   peer [channel]
 *
 * exit status 0 once it has answered, 1 when the broker or the message
 * could not be reached.
 */
#include <stdio.h>

#include "example.h"
#include "kestle.h"
#include "liblog.h"

static const char kTag[] = "peer";

int main(int argc, char **argv)
{
    const char *channel = argc > 1 ? argv[1] : EXAMPLE_CHANNEL;
    char message[256];

    setvbuf(stdout, NULL, _IONBF, 0);
    if (osal_winsockInit() != 0 || example_logToDaemon() != 0) {
        printf("peer: the log daemon could not be reached\n");
        return 1;
    }

    /* The broker's port comes from the socket map, under "interrogator". */
    SOCKET s = (SOCKET)osal_connectServer("interrogator");
    if (example_sendChannelRequest(s, 1, channel) != 0) {
        printf("peer: the broker took no request\n");
        return 1;
    }
    __android_log_print(KLOG_INFO, kTag, "serving channel %s", channel);

    /* A server stays while clients come and go: it waits here for one. */
    if (example_recvLine(s, message, sizeof message) != 0) {
        printf("peer: the channel closed before a message came\n");
        return 1;
    }
    __android_log_print(KLOG_INFO, kTag, "received \"%s\"", message);
    if (example_sendText(s, "hello from the peer\n") != 0) {
        printf("peer: the answer could not be sent\n");
        return 1;
    }
    __android_log_print(KLOG_INFO, kTag, "answered");
    osal_sock_close(s);
    return 0;
}
