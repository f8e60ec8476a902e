// The guard of everything that may send: the private test network that
// scripts/netns-run makes. It needs nothing but the C library, so that the
// measuring programs in bench/ that send take the same guard as the tests.
#ifndef QORTIMER_TESTS_NETNS_GUARD_H_
#define QORTIMER_TESTS_NETNS_GUARD_H_

#include <string>

namespace qortest {

// True inside the private test network: exactly the interfaces lo, qor0 and
// qor1, with 192.168.0.1 on qor0. Anything that may send must check this;
// otherwise *why says what is wrong.
bool InPrivateNetns(std::string *why);

}  // namespace qortest

#endif  // QORTIMER_TESTS_NETNS_GUARD_H_
