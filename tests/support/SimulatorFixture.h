// A test fixture that runs the provider simulator for each test and points this process at it:
// every provider host, and the transport's trust in the simulator's CA, with time-outs lowered
// so that fault tests stay fast. Everything is put back after the test.
#pragma once

#include <gtest/gtest.h>

#include "core/IWZelkAuthBase.h"
#include "sim/Simulator.h"

namespace zelk::testing {

class SimulatorFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Changes the current transport settings in place (they are restored after the test).
  void ChangeTransportSettings(
      const std::function<void(IWZelkAuthBase::TTransportSettings&)>& Change);

  sim::Simulator Sim;

 private:
  IWZelkAuthBase::TTransportSettings FSaved;
};

}  // namespace zelk::testing
