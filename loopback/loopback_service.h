// The loopback service both daemons run: one listening socket on 127.0.0.1
// at a port the system chooses, and a thread for each accepted connection.
// Each daemon publishes the port in the socket map itself and says in its
// own words what failed; the steps here only report which one did.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstdlib>

namespace loopback {

// Handed from the accept loop to the thread of one connection, which takes
// both fields and frees the record first thing.
template <class Owner>
struct ConnectionArg {
    Owner *owner;
    int32_t sock;
};

// pthread_create's shape, so a daemon's accept loop can be shown a starter that fails.
using ThreadStarter = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

// The step of setting the service up that failed.
enum class Failure { None, Socket, Bind, PortName, Listen };

// What both daemons report for a failed bind, port query or listen.
const char *failureMessage(Failure failure);

// A TCP socket with SO_REUSEADDR, bound to 127.0.0.1 at a port the system
// chooses. *sock gets the socket as soon as it exists (a negative value when
// it could not be made); *portField the port as stored, in network byte order.
Failure openSocket(int32_t *sock, uint16_t *portField);
// Listens with the largest backlog the platform allows.
Failure startListening(int32_t sock);
// The next accepted connection, or a negative value when accept failed.
int32_t acceptNext(int32_t listenSock);
void closeSocket(int32_t sock);

template <class Owner, void *(*Worker)(ConnectionArg<Owner> *)>
void *workerEntry(void *arg)
{
    return Worker(static_cast<ConnectionArg<Owner> *>(arg));
}

// Gives an accepted connection a thread of its own running Worker with a
// heap ConnectionArg. A connection without a thread is closed: its peer
// would otherwise wait for ever.
template <class Owner, void *(*Worker)(ConnectionArg<Owner> *)>
void startConnection(ThreadStarter start, Owner *owner, int32_t sock)
{
    auto *arg = static_cast<ConnectionArg<Owner> *>(malloc(sizeof(ConnectionArg<Owner>)));
    if (arg) {
        arg->owner = owner;
        arg->sock = sock;
        pthread_t thread;
        if (start(&thread, nullptr, workerEntry<Owner, Worker>, arg) == 0)
            return;
        free(arg);
    }
    closeSocket(sock);
}

} // namespace loopback
