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

static int sok = -1;
static sockaddr_in myaddress;
static sockaddr_in theiraddress;
// A destination chosen by qor_socket_use_destination(); family 0 when none.
static sockaddr_in chosen;

// Reports a failed system call, closes the socket and ends the process.
[[noreturn]] static void fail_and_close(const char *what) {
  perror(what);
  close(sok);
  exit(1);
}

bool qor_parse_destination(const char *text, sockaddr_in *out) {
  if (text == nullptr) return false;
  const char *colon = strchr(text, ':');
  const size_t address_length = colon ? static_cast<size_t>(colon - text) : strlen(text);
  char address[INET_ADDRSTRLEN];
  if (address_length == 0 || address_length >= sizeof address) return false;
  memcpy(address, text, address_length);
  address[address_length] = '\0';

  sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  // inet_pton() takes exactly four decimal parts of 0 to 255, no shorthand.
  if (inet_pton(AF_INET, address, &to.sin_addr) != 1) return false;
  long port = kQorPort;
  if (colon != nullptr) {
    const char *p = colon + 1;
    if (*p == '\0') return false;
    port = 0;
    for (; *p != '\0'; p++) {
      if (*p < '0' || *p > '9') return false;
      port = port * 10 + (*p - '0');
      if (port > 65535) return false;
    }
    if (port < 1) return false;
  }
  to.sin_port = htons(static_cast<uint16_t>(port));
  *out = to;
  return true;
}

void qor_socket_use_destination(const sockaddr_in &to) { chosen = to; }

void qor_init_socket() {
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

  if (chosen.sin_family == AF_INET) {
    theiraddress = chosen;
    return;
  }
  memset(&theiraddress, 0, sizeof theiraddress);
  theiraddress.sin_family = AF_INET;
  theiraddress.sin_port = htons(kQorPort);
  if (inet_aton(kQorBroadcastAddress, &theiraddress.sin_addr) == 0)
    fail_and_close(" *** ERROR inet_aton");
  memset(theiraddress.sin_zero, 0, sizeof theiraddress.sin_zero);
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
