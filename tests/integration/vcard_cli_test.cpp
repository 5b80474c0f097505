// tessera-vcard as other suites use it: commands on standard input, signals, timed removal, and
// scripted answers, each checked against what pcscd itself sees.
#include <gtest/gtest.h>
#include <signal.h>

#include "driver/host_driver.h"
#include "pcsc_direct.h"
#include "vcard/card_runner.h"

namespace {

// Reads lines until one equals the wanted one; false if it does not come within timeoutMs.
bool AwaitLine(driver::HostProcess& card, const std::string& wanted, int timeoutMs = 5000,
               std::vector<std::string>* seen = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const std::optional<std::string> line = driver::ReadLine(card, static_cast<int>(left.count()));
    if (!line) return false;
    if (seen != nullptr) seen->push_back(*line);
    if (*line == wanted) return true;
  }
}

std::vector<std::string> Command(std::vector<std::string> options) {
  options.insert(options.begin(), TESSERA_VCARD_BINARY);
  return options;
}

TEST(VirtualCardProgram, StdinAndSignalsInsertAndRemove) {
  const std::string reader = vcard::RigReader(0);
  driver::HostProcess card;
  ASSERT_TRUE(driver::StartHost(card, Command({"--reader", "0", "--stdin", "--start-removed",
                                               "--rule", "00A4040002*=6A82"})));
  ASSERT_TRUE(AwaitLine(card, "ready"));
  EXPECT_TRUE(direct::WaitForCard(reader, false, 2000));

  ASSERT_TRUE(driver::SendRaw(card, "insert\n"));
  ASSERT_TRUE(AwaitLine(card, "inserted"));
  ASSERT_TRUE(direct::WaitForCard(reader, true, 5000));
  EXPECT_EQ(direct::ViewReader(reader).atr, vcard::kDefaultAtr);
  // A client's SELECT reaches the card and gets the scripted answer.
  EXPECT_EQ(direct::ViewCard(reader).result, 0);
  EXPECT_TRUE(AwaitLine(card, "apdu 00A40400023F00 6A82"));

  ASSERT_TRUE(driver::SendRaw(card, "remove\n"));
  ASSERT_TRUE(AwaitLine(card, "removed"));
  EXPECT_TRUE(direct::WaitForCard(reader, false, 5000));

  ::kill(card.pid, SIGUSR2);
  ASSERT_TRUE(AwaitLine(card, "inserted"));
  EXPECT_TRUE(direct::WaitForCard(reader, true, 5000));
  ::kill(card.pid, SIGUSR1);
  ASSERT_TRUE(AwaitLine(card, "removed"));
  EXPECT_TRUE(direct::WaitForCard(reader, false, 5000));

  driver::CloseInput(card);  // end of input quits
  EXPECT_TRUE(AwaitLine(card, "bye"));
  EXPECT_EQ(driver::WaitExit(card, 5000), std::optional<int>(0));
  driver::StopHost(card);
}

TEST(VirtualCardProgram, TimedRemovalAndReinsertion) {
  const std::string reader = vcard::RigReader(1);
  driver::HostProcess card;
  ASSERT_TRUE(driver::StartHost(
      card, Command({"--reader", "1", "--atr", "3B021450", "--remove-after", "600",
                     "--insert-after", "600", "--cycles", "1", "--quiet"})));
  std::vector<std::string> lines;
  ASSERT_TRUE(AwaitLine(card, "inserted", 5000, &lines));
  ASSERT_TRUE(direct::WaitForCard(reader, true, 5000));
  EXPECT_EQ(direct::ViewReader(reader).atr, (std::vector<uint8_t>{0x3B, 0x02, 0x14, 0x50}));
  ASSERT_TRUE(AwaitLine(card, "removed", 5000, &lines));
  EXPECT_TRUE(direct::WaitForCard(reader, false, 5000));
  ASSERT_TRUE(AwaitLine(card, "inserted", 5000, &lines));
  EXPECT_TRUE(direct::WaitForCard(reader, true, 5000));
  // One cycle only: the card stays in.
  EXPECT_FALSE(AwaitLine(card, "removed", 1500, &lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"ready", "inserted", "removed", "inserted"}));
  ::kill(card.pid, SIGTERM);
  EXPECT_TRUE(AwaitLine(card, "bye"));
  EXPECT_EQ(driver::WaitExit(card, 5000), std::optional<int>(0));
  driver::StopHost(card);
}

TEST(VirtualCardProgram, BadOptionsAndAMissingReaderAreReported) {
  driver::HostProcess card;
  ASSERT_TRUE(driver::StartHost(card, Command({"--rule", "not-hex"})));
  EXPECT_EQ(driver::WaitExit(card, 5000), std::optional<int>(2));
  driver::StopHost(card);
  ASSERT_TRUE(driver::StartHost(card, Command({"--port", "1", "--connect-timeout-ms", "200"})));
  EXPECT_TRUE(AwaitLine(card, "ready"));
  const std::optional<std::string> error = driver::ReadLine(card, 5000);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->rfind("error cannot reach the reader", 0), 0u) << *error;
  EXPECT_EQ(driver::WaitExit(card, 5000), std::optional<int>(1));
  driver::StopHost(card);
}

}  // namespace
