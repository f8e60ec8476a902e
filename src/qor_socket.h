// Datagram transport: the process's one IPv4 UDP socket and its destination.
//
// The socket is opened once at start-up, non-blocking and enabled for
// broadcasting, and sends every datagram to the destination it was opened
// with, port 1962 of 192.168.0.255 unless the caller gave another, until a
// datagram is received, after which the sender of that datagram becomes the
// destination of later sends.
#ifndef QORTIMER_QOR_SOCKET_H_
#define QORTIMER_QOR_SOCKET_H_

#include <netinet/in.h>

// Largest datagram qor_socket_getbuf() delivers; its buffer needs one more byte.
constexpr int kQorMaxDatagram = 2047;

// Opens the socket with port 1962 of 192.168.0.255 (qor_wire.h) as its
// destination, or reports the failure and ends the process with status 1.
void qor_init_socket();

// Opens the socket as qor_init_socket() does, with `destination` in place
// of the built-in one.
void qor_init_socket_to(const sockaddr_in &destination);

// Sends the characters of `buf` (without its NUL) as one datagram to the
// current destination. Returns the number of bytes sent, or -1 after
// reporting the failure on the error stream. A null `buf` ends the process.
int qor_socket_sendbuf(const char *buf);

// Receives the next waiting datagram into `buf` (at least 2048 bytes) and
// makes its sender the destination of later sends. Returns its length (1 to
// 2047, the text then ended by NUL; longer datagrams are cut), 0 when
// nothing is waiting, or -1 after a reported error or an empty datagram.
int qor_socket_getbuf(char *buf);

// Closes the socket; returns the result of close().
int qor_socket_close();

#endif  // QORTIMER_QOR_SOCKET_H_
