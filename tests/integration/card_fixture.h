// A test fixture with a virtual card in the rig's reader 0, present before the test starts.
#pragma once

#include <gtest/gtest.h>

#include "pcsc_direct.h"
#include "rig_support.h"

namespace rig {

class CardInReader : public testing::Test {
 protected:
  void SetUp() override {
    InsertAndWait(vcard::CardBehaviour{});
    // What the service itself says about this card, for the values that are the service's.
    truth_ = direct::ViewCard(reader_);
    ASSERT_EQ(truth_.result, 0) << "a direct pcsc-lite client cannot use the card";
    vcard::ClearExchanges(card_);
  }

  // dwProtocol of a receive PCI record after a transmit, as the service writes it (pcsc-lite
  // with vpcd reports T=0 whatever is active).
  uint32_t ReceivePciProtocol() const {
    return EnvOr("TESSERA_EXPECT_RECV_PCI_PROTOCOL", truth_.receivePciProtocol);
  }

  void InsertAndWait(vcard::CardBehaviour behaviour) {
    ASSERT_TRUE(vcard::InsertCard(card_, vcard::RigHost(), vcard::RigPort(0), std::move(behaviour)))
        << "no vpcd reader on port " << vcard::RigPort(0);
    ASSERT_TRUE(direct::WaitForCard(reader_, true, 5000)) << "the reader never saw the card";
  }

  void RemoveAndWait() {
    vcard::RemoveCard(card_);
    ASSERT_TRUE(direct::WaitForCard(reader_, false, 5000)) << "the reader never saw the removal";
  }

  const std::string reader_ = vcard::RigReader(0);
  vcard::InsertedCard card_;
  direct::CardView truth_;
};

}  // namespace rig
