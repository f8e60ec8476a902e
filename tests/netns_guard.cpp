#include "netns_guard.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace qortest {

bool InPrivateNetns(std::string *why) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) {
    *why = std::string("getifaddrs: ") + strerror(errno);
    return false;
  }
  std::set<std::string> names;
  bool qor0_has_address = false;
  for (ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    names.insert(a->ifa_name);
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
        strcmp(a->ifa_name, "qor0") == 0) {
      const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
      qor0_has_address = in->sin_addr.s_addr == htonl(0xC0A80001);  // 192.168.0.1
    }
  }
  freeifaddrs(list);
  const std::set<std::string> expected{"lo", "qor0", "qor1"};
  if (names != expected) {
    *why = "interfaces are";
    for (const auto &n : names) *why += " " + n;
    return false;
  }
  if (!qor0_has_address) {
    *why = "qor0 does not hold 192.168.0.1";
    return false;
  }
  return true;
}

}  // namespace qortest
