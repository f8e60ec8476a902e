// The transport for programs that must never send, linked in place of
// qor_socket.cpp: nothing here opens a socket, so such a program holds no
// socket call at all. Reaching any of it is a fault of the program. Every
// transport function the daemon module calls needs a line here, and no other.
#include <cstdio>
#include <cstdlib>

#include "qor_socket.h"

[[noreturn]] static void refuse(const char *what) {
  fprintf(stderr, " *** ERROR: %s called in a program without a transport\n", what);
  abort();
}

void qor_init_socket() { refuse("qor_init_socket"); }
void qor_init_socket_to(const sockaddr_in &) { refuse("qor_init_socket_to"); }
int qor_socket_sendbuf(const char *) { refuse("qor_socket_sendbuf"); }
