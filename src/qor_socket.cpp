// Datagram transport: one non-blocking IPv4 UDP socket with a fixed
// broadcast destination.
#include "qor_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor_wire.h"

static int sok = -1;
static sockaddr_in myaddress;
static sockaddr_in theiraddress;

// Reports a failed system call, closes the socket and ends the process.
[[noreturn]] static void fail_and_close(const char *what) {
  perror(what);
  close(sok);
  exit(1);
}

// Creates the socket, non-blocking and enabled for broadcasting, and binds
// it to any free local port.
static void open_socket() {
  sok = socket(AF_INET, SOCK_DGRAM, 0);
  if (sok < 0) {
    perror(" *** ERROR socket");
    exit(1);
  }
  if (fcntl(sok, F_SETFL, O_NONBLOCK) < 0)
    fail_and_close(" *** ERROR in fctl() SO_REUSEADDR");
  // Linux refuses every send to a broadcast address without this.
  const int on = 1;
  if (setsockopt(sok, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0)
    fail_and_close(" *** ERROR setsockopt SO_BROADCAST");

  memset(&myaddress, 0, sizeof myaddress);
  myaddress.sin_family = AF_INET;
  myaddress.sin_port = htons(0);
  myaddress.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(sok, reinterpret_cast<sockaddr *>(&myaddress), sizeof myaddress) < 0)
    fail_and_close(" *** ERROR bind");
}

void qor_init_socket() {
  open_socket();
  memset(&theiraddress, 0, sizeof theiraddress);
  theiraddress.sin_family = AF_INET;
  theiraddress.sin_port = htons(kQorPort);
  if (inet_aton(kQorBroadcastAddress, &theiraddress.sin_addr) == 0)
    fail_and_close(" *** ERROR inet_aton");
  memset(theiraddress.sin_zero, 0, sizeof theiraddress.sin_zero);
}

void qor_init_socket_to(const sockaddr_in &destination) {
  open_socket();
  theiraddress = destination;
}

int qor_socket_sendbuf(const char *buf) {
  if (buf == nullptr) {
    fputs(" ***ERROR: NULL pointer in qor_socket_sendbuf\n", stderr);
    exit(1);
  }
  const ssize_t rc =
      sendto(sok, buf, strlen(buf), 0,
             reinterpret_cast<const sockaddr *>(&theiraddress), sizeof theiraddress);
  if (rc == -1) perror(" *** ERROR sendto");
  return static_cast<int>(rc);
}

int qor_socket_getbuf(char *buf) {
  if (buf == nullptr) {
    fputs(" ***ERROR: NULL pointer in qor_socket_getbuf\n", stderr);
    exit(1);
  }
  socklen_t addrlen = sizeof theiraddress;
  const ssize_t rc = recvfrom(sok, buf, kQorMaxDatagram, 0,
                              reinterpret_cast<sockaddr *>(&theiraddress), &addrlen);
  if (rc >= 1 && rc <= kQorMaxDatagram) {
    buf[rc] = '\0';
    return static_cast<int>(rc);
  }
  if (rc == -1) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    perror(" *** ERROR recvfrom()");
    return -1;
  }
  if (rc == 0) {
    fputs(" *** ERROR: Remote Host closed connection\n", stderr);
    return -1;
  }
  fprintf(stderr, " *** ERROR: Unexpected rcf (%d)\n", static_cast<int>(rc));
  close(sok);
  exit(1);
}

int qor_socket_close() { return close(sok); }
