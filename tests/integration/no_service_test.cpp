// The host on a machine whose smart-card service is not running (the rig starts no pcscd).
#include <gtest/gtest.h>

#include "rig_support.h"

namespace {

using namespace rig;

TEST(NoService, StartedEventReportsNoServiceEveryTime) {
  Host host;
  Start(host);
  // The event is asked for again after a failure, so the answer stays the same.
  for (const char* id : {"1", "2"}) {
    EXPECT_EQ(Ask(host, Json{{"i", id}, {"c", 103}}),
              Head(id, "SCardAccessStartedEvent", kNoService));
  }
}

TEST(NoService, EstablishFailsWithNoServiceAndTheHostGoesOn) {
  Host host;
  Start(host);
  const Members reply = Ask(host, Json{{"i", "e"}, {"c", 114}, {"p", 2}});
  EXPECT_EQ(reply, Concat(Head("e", "SCardEstablishContext", kNoService), {{"cbContext", "8"},
                                                                           {"pbContext0", "0"},
                                                                           {"pbContext1", "0"},
                                                                           {"pbContext2", "0"},
                                                                           {"pbContext3", "0"},
                                                                           {"pbContext4", "0"},
                                                                           {"pbContext5", "0"},
                                                                           {"pbContext6", "0"},
                                                                           {"pbContext7", "0"}}));
  // Listing readers on the zero context fails as the service's absence says, and completely.
  const Members list = Ask(host, Json{{"i", "l"}, {"c", 149}, {"p", 0}});
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"i", "SCardListReadersA", "resp", "cchReaders",
                                                  "mszReaders"}));
  EXPECT_NE(Value(list, "SCardListReadersA"), "0");
  EXPECT_EQ(Value(list, "cchReaders"), "0");
  EXPECT_EQ(Value(list, "mszReaders"), "NULL");
}

}  // namespace
