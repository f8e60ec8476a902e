// Golden command datagrams: complete commands with fixed stamps, pinned byte
// for byte with their hashes. The daemon's builder must write exactly these
// and the listener must read them back and verify them, so a changed layout
// or hash table fails here on every build, the board's included.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "qorlisten.h"
#include "qortimer.h"

namespace {

struct Golden {
  const char *name;
  std::string device, channel;
  const char *state, *time_hex, *clock_hex;
  std::string datagram;
};
void PrintTo(const Golden &g, std::ostream *os) { *os << g.name; }

const Golden kGoldens[] = {
    {"ReadmeLamp", "lamp", "1", "ON", "5f5e1000", "0000a2c8",
     "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-01a9"},
    {"ReadmePorchLamp", "porch", "lamp", "OFF", "6b190a9e", "00003a4d",
     "qorctrl command QORTIMER-porch-lamp-OFF 6b190a9e-00003a4d-08b6"},
    // 563 bytes, the longest command there is.
    {"LongestNames", std::string(255, 'd'), std::string(255, 'c'), "OFF", "00000000", "ffffffff",
     "qorctrl command QORTIMER-" + std::string(255, 'd') + "-" + std::string(255, 'c') +
         "-OFF 00000000-ffffffff-ccdc"},
    // Bytes above 127 hash as unsigned, whatever the signedness of char.
    {"DashAndUtf8InName", "h\xc3\xa4ll-lamp", "2", "ON", "ffffffff", "00000000",
     "qorctrl command QORTIMER-h\xc3\xa4ll-lamp-2-ON ffffffff-00000000-833b"},
};

class GoldenDatagram : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenDatagram, DaemonWritesItAndTheListenerVerifiesEveryField) {
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
  ASSERT_TRUE(c.ok) << c.problem;
  EXPECT_TRUE(qorlisten::IsVerifiedCommand(g.datagram));
  EXPECT_EQ(c.tag, "QORTIMER");
  EXPECT_EQ(c.names, g.device + "-" + g.channel);
  EXPECT_EQ(c.state, g.state);
  EXPECT_EQ(c.time_stamp, std::stoul(g.time_hex, nullptr, 16));
  EXPECT_EQ(c.clock_stamp, std::stoul(g.clock_hex, nullptr, 16));
  EXPECT_EQ(c.hash, g.datagram.substr(g.datagram.size() - 4));
}

INSTANTIATE_TEST_SUITE_P(Commands, GoldenDatagram, ::testing::ValuesIn(kGoldens),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
