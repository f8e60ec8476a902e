// The command datagram as senders and receivers share it: its layout, the
// port it goes to, the built-in destination, and reading a destination given
// as text. The daemon builds its commands by this layout, and qorlisten and
// the tests take them apart by it; none of them needs the daemon's state to
// agree on a byte.
#ifndef QORTIMER_QOR_WIRE_H_
#define QORTIMER_QOR_WIRE_H_

#include <netinet/in.h>

#include "qorhash.h"

constexpr int kQorPort = 1962;
constexpr const char *kQorBroadcastAddress = "192.168.0.255";

// The command, text without a line end or NUL:
//   qorctrl command QORTIMER-DEVICE-CHANNEL-STATE TIME-CLOCK-HASH
// STATE is ON or OFF, TIME and CLOCK are the pass's stamps and HASH is the
// qorhash of everything before it. Names are copied as they stand, '-'
// included, so a receiver takes the state from the right and the tag from
// the left.
constexpr char kQorCommandWord[] = "qorctrl";    // names the receiver
constexpr char kQorCommandVerb[] = " command ";  // one blank on each side
constexpr char kQorSenderTag[] = "QORTIMER";
constexpr char kQorSeparator = '-';    // between the target's fields, and after each stamp
constexpr char kQorStampsBlank = ' ';  // between the target and the stamps
constexpr char kQorStateOn[] = "ON";
constexpr char kQorStateOff[] = "OFF";
constexpr int kQorMaxName = 255;       // longest device or channel name
constexpr int kQorStampDigits = 8;     // "%08x" of the low 32 bits
constexpr int kQorMaxCommand = 563;    // two names of 255 characters, OFF
static_assert(kQorMaxCommand ==
                  static_cast<int>(sizeof kQorCommandWord + sizeof kQorCommandVerb +
                                   sizeof kQorSenderTag + sizeof kQorStateOff) - 4 +
                      3 + 2 * kQorMaxName +            // three '-' and two names
                      1 + 2 * (kQorStampDigits + 1) +  // the blank, each stamp and its '-'
                      kQorhashDigits,
              "the longest command is laid out as above");

// Reads a destination "ADDRESS[:PORT]": a dotted IPv4 address and a
// decimal port from 1 to 65535 (1962 when left out). Fills *out and returns
// true, or returns false and leaves *out alone.
bool qor_parse_destination(const char *text, sockaddr_in *out);

#endif  // QORTIMER_QOR_WIRE_H_
