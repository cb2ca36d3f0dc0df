// The tour's socket stop: a TCP echo on loopback between two quor::Socket objects.
#ifndef QUORKIT_EXAMPLES_TOUR_SOCKET_H
#define QUORKIT_EXAMPLES_TOUR_SOCKET_H

// Starts the socket service, echoes one message between a client and the server's accepted
// connection on 127.0.0.1, shows a refused connection's remembered error code, and stops the
// service. Prints its own section title.
void tourSocketEcho();

#endif  // QUORKIT_EXAMPLES_TOUR_SOCKET_H
