// The Twitter client over the real transport against the simulated Twitter: the simulator, a
// browser, the controller and a client with its events counted. Put back after each test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "providers/IWTwitterAuthClient.h"
#include "sim/TwitterSim.h"
#include "support/FakeApplication.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk::testing {

class TwitterFlowFixture : public SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Twitter = std::make_unique<sim::TwitterSim>(Sim);
    Browser = std::make_unique<SimBrowser>(Sim);
    Controller = std::make_unique<IWZelkAuthBase::TZIWAuthServerController>(nullptr);
    Client = std::make_unique<IWTwitterAuthClient::TZIWTwitterAuthClient>(nullptr);
    Client->App()->SetID(sim::TwitterSim::kDefaultConsumerKey);
    Client->App()->SetSecret(sim::TwitterSim::kDefaultConsumerSecret);
    Client->SetServerController(Controller.get());
    Client->SetOnLoginOK([this](rtl::TObject*) { ++LoginOK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++LoginFailed; });
    Client->SetOnPostOK([this](rtl::TObject*, std::string ID) { PostOK.push_back(ID); });
    Client->SetOnPostFailed([this](rtl::TObject*, std::string M) { PostFailed.push_back(M); });
  }

  void TearDown() override {
    Client.reset();
    Controller.reset();
    IWZelkAuthBase::SetClock({});
    SimulatorFixture::TearDown();
  }

  std::unique_ptr<sim::TwitterSim> Twitter;
  std::unique_ptr<SimBrowser> Browser;
  std::unique_ptr<web::TIWApplication> App = MakeApplication("http://127.0.0.1:9/app");
  std::unique_ptr<IWZelkAuthBase::TZIWAuthServerController> Controller;
  std::unique_ptr<IWTwitterAuthClient::TZIWTwitterAuthClient> Client;
  int LoginOK = 0;
  int LoginFailed = 0;
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
};

}  // namespace zelk::testing
