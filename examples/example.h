/*
 * example.h - what the example guest programs share: the session's stop
 * event, the log library's way to the log daemon, and whole lines over a
 * socket.
 */
#ifndef EXAMPLE_H
#define EXAMPLE_H

#include <fcntl.h>
#include <io.h>
#include <string.h>

#include "kestle.h"

/* The event the stop command sets (gueststop.c) and the session waits on. */
#define EXAMPLE_STOP_EVENT "KestleExampleGuestStop"

/* The channel the example guest and its peer open through the broker. */
#define EXAMPLE_CHANNEL "example"

/* Makes standard error this process's connection to the log daemon. The log
 * library writes each line whole to standard error, so from here on every
 * __android_log_print line lands in /dev/log/main under the root folder.
 * The socket library must be started (osal_winsockInit). 0, or -1. */
static inline int example_logToDaemon(void)
{
    /* The process's one connection, made now and kept by the library. */
    int sock = osal_connectLogServer();
    /* Binary, so each line reaches the daemon as written, in one piece. */
    int fd = _open_osfhandle((intptr_t)sock, _O_BINARY);
    return fd >= 0 && _dup2(fd, 2) == 0 ? 0 : -1;
}

/* Sends all of text; 0, or -1 when the connection failed. */
static inline int example_sendText(SOCKET s, const char *text)
{
    int left = (int)strlen(text);
    while (left > 0) {
        int n = osal_sock_send(s, text, left, 0);
        if (n <= 0)
            return -1;
        text += n;
        left -= n;
    }
    return 0;
}

/* Receives one line, without its '\n', into line (size bytes, terminated);
 * 0, or -1 when the connection ended first. */
static inline int example_recvLine(SOCKET s, char *line, int size)
{
    int len = 0;
    for (;;) {
        char c;
        if (osal_sock_recv(s, &c, 1, 0) != 1)
            return -1;
        if (c == '\n')
            break;
        if (len < size - 1)
            line[len++] = c;
    }
    line[len] = '\0';
    return 0;
}

/* The first two bytes of a channel request: the role (0 client, 1 server)
 * and the name's length; the name follows, without a terminator. */
static inline int example_sendChannelRequest(SOCKET s, int role, const char *channel)
{
    char request[2 + 127];
    size_t len = strlen(channel);
    if (len > 127)
        return -1;
    request[0] = (char)role;
    request[1] = (char)len;
    memcpy(request + 2, channel, len);
    /* In one piece: the broker reads the name with a single receive. */
    return osal_sock_send(s, request, (int)(2 + len), 0) == (int)(2 + len) ? 0 : -1;
}

#endif /* EXAMPLE_H */
