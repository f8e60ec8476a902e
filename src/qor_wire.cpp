// Reading a destination given as text.
#include "qor_wire.h"

#include <arpa/inet.h>

#include <cstring>

#include "qor_decimal.h"

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
  int64_t port = kQorPort;
  if (colon != nullptr && (!qor_parse_decimal(colon + 1, 65535, &port) || port < 1)) return false;
  to.sin_port = htons(static_cast<uint16_t>(port));
  *out = to;
  return true;
}
