// Golden command datagrams, pinned byte for byte with their hashes: the
// daemon's builder must write exactly these and the listener must verify
// them, on every build, the board's included.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "qorlisten.h"
#include "qortimer.h"

namespace {

struct Golden {
  std::string device, channel;
  const char *state, *time_hex, *clock_hex;
  std::string datagram;
};

class GoldenDatagram : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenDatagram, DaemonWritesItAndTheListenerVerifiesIt) {
  const Golden &g = GetParam();
  static qor_context qor;
  qor_entry entry{};
  snprintf(entry.device, sizeof entry.device, "%s", g.device.c_str());
  snprintf(entry.channel, sizeof entry.channel, "%s", g.channel.c_str());
  snprintf(qor.time_hex, sizeof qor.time_hex, "%s", g.time_hex);
  snprintf(qor.clock_hex, sizeof qor.clock_hex, "%s", g.clock_hex);
  EXPECT_EQ(qor_build_command(&entry, entry.channel, g.state, &qor),
            static_cast<int>(g.datagram.size()));
  EXPECT_EQ(qor.command, g.datagram);
  EXPECT_LE(g.datagram.size(), static_cast<size_t>(kQorMaxCommand));

  const qorlisten::Command c = qorlisten::ParseCommand(g.datagram);
  EXPECT_TRUE(qorlisten::IsVerifiedCommand(g.datagram)) << c.problem;
  EXPECT_EQ(c.names + "-" + c.state, g.device + "-" + g.channel + "-" + g.state);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, GoldenDatagram,
    ::testing::Values(
        Golden{"lamp", "1", "ON", "5f5e1000", "0000a2c8",
               "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-01a9"},
        Golden{"porch", "lamp", "OFF", "6b190a9e", "00003a4d",
               "qorctrl command QORTIMER-porch-lamp-OFF 6b190a9e-00003a4d-08b6"},
        // The longest command, 563 bytes.
        Golden{std::string(255, 'd'), std::string(255, 'c'), "OFF", "00000000", "ffffffff",
               "qorctrl command QORTIMER-" + std::string(255, 'd') + "-" +
                   std::string(255, 'c') + "-OFF 00000000-ffffffff-ccdc"},
        // Bytes above 127 hash as unsigned, whatever the signedness of char.
        Golden{"h\xc3\xa4ll-lamp", "2", "ON", "ffffffff", "00000000",
               "qorctrl command QORTIMER-h\xc3\xa4ll-lamp-2-ON ffffffff-00000000-833b"}));

}  // namespace
