// The channel slots between a link and its front ends, over the scripted
// media: what the device sends reaches the front end, or ends its channel,
// and a front end without room holds the device back.
#include "hub_support.h"
#include "linkhub/TransportSessionHandler.h"
#include "session_script.h"

using linkhub::TransportSessionHandler;
using linktest::Bytes;
using linktest::iFrame;
using linktest::sFrame;

namespace {

class HandlerTest : public linktest::LinkTest {
 protected:
  linkhub::SessionLayerEvents* eventsFor(linkhub::SessionLayer* layer) override {
    if (!handler_) handler_ = std::make_unique<TransportSessionHandler>(nullptr, layer);
    return handler_.get();
  }
  void TearDown() override {
    frontEnd_.release();
    stopLayer();
    handler_.reset();
  }

  // Up, with frontEnd_ attached to channel 0 (the device heard of it).
  void upWithFrontEnd() {
    startLayer(60000, 1024);
    handshake(1023, 2);
    translayer::TrIfTranRemote* slot = handler_->attach(&frontEnd_, 5);
    ASSERT_NE(slot, nullptr);
    frontEnd_.slot = slot;
    ASSERT_EQ(static_cast<TransportSessionHandler::TransportTrIfToSession*>(slot)->channel(), 0);
  }

  std::unique_ptr<TransportSessionHandler> handler_;
  hubtest::FakeFrontEnd frontEnd_;
};

TEST_F(HandlerTest, AFragmentOverAChunkEndsItsChannelInsteadOfVanishing) {
  upWithFrontEnd();
  const Bytes full = linktest::Bytes(1024, 0x5A);
  receive(iFrame(0, 0, 0x00, full));
  EXPECT_EQ(frontEnd_.received(), full);
  EXPECT_EQ(frontEnd_.closeCalls_, 0);

  receive(iFrame(1, 0, 0x10, Bytes(1025, 0xA5)));
  EXPECT_EQ(frontEnd_.closeCalls_, 1) << "the client must not see a message with a gap";
  EXPECT_EQ(frontEnd_.received(), full);
  EXPECT_EQ(frontEnd_.messages(), 0);
}

TEST_F(HandlerTest, AFrontEndWithoutRoomHoldsTheDeviceUntilItsSlotHearsOfRoom) {
  upWithFrontEnd();
  frontEnd_.room = false;
  receive(iFrame(0, 0, 0x10, {'a'}));
  EXPECT_TRUE(frontEnd_.received().empty());
  EXPECT_EQ(build(), sFrame(0, 0)) << "not accepted";
  EXPECT_EQ(build(kMediaTxIdle), sFrame(0, 0, true));

  frontEnd_.room = true;
  frontEnd_.slot.load()->roomAgain();
  EXPECT_EQ(build(), sFrame(1, 0)) << "asked for again";
  receive(iFrame(0, 0, 0x10, {'a'}));
  EXPECT_EQ(frontEnd_.received(), Bytes{'a'});
  EXPECT_EQ(frontEnd_.messages(), 1);
  EXPECT_EQ(build(), sFrame(0, 1));
}

}  // namespace
