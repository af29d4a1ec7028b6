#include "support/SimulatorFixture.h"

namespace zelk::testing {

void SimulatorFixture::SetUp() {
  FSaved = IWZelkAuthBase::TransportSettings();
  Sim.Start();
  Sim.UseForThisProcess();
  ChangeTransportSettings([](IWZelkAuthBase::TTransportSettings& S) {
    S.ConnectTimeout = std::chrono::milliseconds(5000);
    S.StallTimeout = std::chrono::milliseconds(5000);
  });
}

void SimulatorFixture::TearDown() {
  Sim.Stop();
  IWZelkAuthBase::ResetProviderHosts();
  IWZelkAuthBase::SetTransportSettings(FSaved);
}

void SimulatorFixture::ChangeTransportSettings(
    const std::function<void(IWZelkAuthBase::TTransportSettings&)>& Change) {
  auto S = IWZelkAuthBase::TransportSettings();
  Change(S);
  IWZelkAuthBase::SetTransportSettings(S);
}

}  // namespace zelk::testing
