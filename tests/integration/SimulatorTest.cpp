// The simulator's plumbing: listeners, routing, the request log, fault modes and the test
// browser that provider tests drive it with.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "core/IWZelkAuthBase.h"
#include "payments/PayPalHosts.h"
#include "providers/FacebookHosts.h"
#include "providers/GoogleHosts.h"
#include "providers/TwitterHosts.h"
#include "providers/WindowsLiveHosts.h"
#include "sim/Certificates.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk::sim {
namespace {

using namespace std::chrono_literals;
using IWZelkAuthBase::Https_Get;
using IWZelkAuthBase::Https_Post;
using testing::SimBrowser;

class SimulatorTest : public testing::SimulatorFixture {};

TEST_F(SimulatorTest, RecordsEveryRequestAsReceived) {
  Sim.Route(TProviderId::Twitter, "POST", "/1/statuses/update.json",
            [](const TSimRequest&) { return TSimResponse::Text("{\"id_str\":\"1\"}"); });
  std::string Body;
  Https_Post(Sim.HostFor(TProviderId::Twitter), "/1/statuses/update.json?include_entities=true",
             "Authorization: OAuth oauth_token=\"t\", oauth_signature=\"ab%3D%2B+c\"",
             "status=Hello%20world%21&x=a+b", Body);

  const auto Got = Sim.Received(TProviderId::Twitter);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Method, "POST");
  EXPECT_EQ(Got[0].Target, "/1/statuses/update.json?include_entities=true");
  EXPECT_EQ(Got[0].Path, "/1/statuses/update.json");
  EXPECT_EQ(Got[0].Version, "HTTP/1.0");
  EXPECT_EQ(Got[0].Query.Values("include_entities"), "true");
  // Header values exactly as sent: nothing decoded, in the order sent.
  EXPECT_EQ(Got[0].Header("authorization"),
            "OAuth oauth_token=\"t\", oauth_signature=\"ab%3D%2B+c\"");
  ASSERT_EQ(Got[0].Headers.size(), 4u);
  EXPECT_EQ(Got[0].Headers[0].first, "Host");
  EXPECT_EQ(Got[0].Headers[1].first, "User-Agent");
  EXPECT_EQ(Got[0].Headers[2].first, "Authorization");
  EXPECT_EQ(Got[0].Headers[3], (std::pair<std::string, std::string>("Content-Length", "29")));
  EXPECT_EQ(Got[0].Body, "status=Hello%20world%21&x=a+b");
  const auto Form = Got[0].Form();
  ASSERT_EQ(Form.Count(), 2);
  EXPECT_EQ(Form[0], "status=Hello world!");
  EXPECT_EQ(Form[1], "x=a b");
  EXPECT_TRUE(Sim.Received(TProviderId::Google).empty());

  Sim.ClearReceived();
  EXPECT_TRUE(Sim.Received(TProviderId::Twitter).empty());
}

TEST(DecodeForm, DecodesInOrderAndKeepsStrayPercents) {
  const auto L = DecodeForm("b=2&a=%C3%A9+x&flag&&c=100%&d=%zz&e=%4");
  ASSERT_EQ(L.Count(), 6);
  EXPECT_EQ(L[0], "b=2");
  EXPECT_EQ(L[1], "a=\xC3\xA9 x");
  EXPECT_EQ(L[2], "flag=");
  EXPECT_EQ(L[3], "c=100%");
  EXPECT_EQ(L[4], "d=%zz");
  EXPECT_EQ(L[5], "e=%4");
}

TEST_F(SimulatorTest, ProvidersWithTheSamePathAreToldApartByListener) {
  Sim.Route(TProviderId::Facebook, "GET", "/oauth/access_token",
            [](const TSimRequest&) { return TSimResponse::Text("facebook"); });
  Sim.Route(TProviderId::Twitter, "POST", "/oauth/access_token",
            [](const TSimRequest&) { return TSimResponse::Text("twitter"); });
  std::string Body;
  Https_Get(Sim.HostFor(TProviderId::Facebook), "/oauth/access_token", Body);
  EXPECT_EQ(Body, "facebook");
  Https_Post(Sim.HostFor(TProviderId::Twitter), "/oauth/access_token", "", "", Body);
  EXPECT_EQ(Body, "twitter");
  // Method is part of the route.
  Https_Get(Sim.HostFor(TProviderId::Twitter), "/oauth/access_token", Body);
  EXPECT_EQ(Body,
            "{\"error\":\"not_found\",\"error_description\":\"No route for GET "
            "/oauth/access_token on the Twitter simulator\"}");
  EXPECT_NE(Sim.Port(TProviderId::Facebook), Sim.Port(TProviderId::Twitter));
}

TEST_F(SimulatorTest, LaterRouteReplacesEarlierAndHandlerFailuresBecome500) {
  Sim.Route(TProviderId::Google, "GET", "/r",
            [](const TSimRequest&) { return TSimResponse::Text("first"); });
  Sim.Route(TProviderId::Google, "GET", "/r",
            [](const TSimRequest&) { return TSimResponse::Text("second"); });
  Sim.Route(TProviderId::Google, "GET", "/boom", [](const TSimRequest&) -> TSimResponse {
    throw std::runtime_error("signature mismatch");
  });
  std::string Body;
  Https_Get(Sim.HostFor(TProviderId::Google), "/r", Body);
  EXPECT_EQ(Body, "second");
  SimBrowser Browser(Sim);
  const auto R = Browser.Get(Sim.BaseURL(TProviderId::Google) + "/boom");
  EXPECT_EQ(R.Status, 500);
  EXPECT_EQ(R.Body, "Simulator handler failed: signature mismatch");
}

TEST_F(SimulatorTest, FaultsApplyToEveryMethodOfThePathUntilCleared) {
  for (const char* Method : {"GET", "POST"})
    Sim.Route(TProviderId::PayPal, Method, "/nvp",
              [](const TSimRequest&) { return TSimResponse::Text("ACK=Success"); });
  Sim.SetFault(TProviderId::PayPal, "/nvp", TFault::Reply(503, "ACK=Failure"));
  const std::string Host = Sim.HostFor(TProviderId::PayPal);
  std::string Body;
  Https_Get(Host, "/nvp", Body);
  EXPECT_EQ(Body, "ACK=Failure");
  Https_Post(Host, "/nvp", "", "METHOD=x", Body);
  EXPECT_EQ(Body, "ACK=Failure");
  SimBrowser Browser(Sim);
  EXPECT_EQ(Browser.Get(Sim.BaseURL(TProviderId::PayPal) + "/nvp").Status, 503);

  Sim.ClearFaults();
  Https_Post(Host, "/nvp", "", "METHOD=x", Body);
  EXPECT_EQ(Body, "ACK=Success");
}

TEST_F(SimulatorTest, ChunkedFaultUsesChunkedCodingForHttp11Clients) {
  std::string Full;
  for (int I = 0; I < 300; ++I)
    Full += std::to_string(I) + ",";
  Sim.Route(TProviderId::Google, "GET", "/c",
            [Full](const TSimRequest&) { return TSimResponse::Text(Full); });
  Sim.SetFault(TProviderId::Google, "/c", TFault::Pieces(5));
  const auto R = SimBrowser(Sim).Get(Sim.BaseURL(TProviderId::Google) + "/c");
  EXPECT_EQ(R.Status, 200);
  EXPECT_EQ(R.Header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(R.Body, Full);
}

TEST_F(SimulatorTest, StopWakesADelayedReply) {
  Sim.Route(TProviderId::Google, "GET", "/slow",
            [](const TSimRequest&) { return TSimResponse::Text("route reply"); });
  Sim.SetFault(TProviderId::Google, "/slow", TFault::Delayed(60s));
  std::string Body;
  std::thread Caller([&] {
    try {
      Https_Get(Sim.HostFor(TProviderId::Google), "/slow", Body);
    } catch (const rtl::Exception& E) {
      Body = E.Message();
    }
  });
  // Stop only once the request is waiting in the simulator.
  while (Sim.Received(TProviderId::Google).empty())
    std::this_thread::yield();
  Sim.Stop();
  Caller.join();
  EXPECT_EQ(Body, "simulator stopping");
}

TEST_F(SimulatorTest, StopsAndStartsAgainOnNewPorts) {
  EXPECT_TRUE(Sim.Running());
  const std::string CA = Sim.CACertificatePEM();
  Sim.Stop();
  EXPECT_FALSE(Sim.Running());
  EXPECT_EQ(Sim.Port(TProviderId::PayPal), 0);
  EXPECT_THROW(Sim.HostFor(TProviderId::PayPal), rtl::Exception);
  Sim.Stop();  // idempotent

  Sim.Route(TProviderId::PayPal, "GET", "/again",
            [](const TSimRequest&) { return TSimResponse::Text("back"); });
  Sim.Start();
  EXPECT_THROW(Sim.Start(), rtl::Exception);
  EXPECT_EQ(Sim.CACertificatePEM(), CA);
  std::string Body;
  Https_Get(Sim.HostFor(TProviderId::PayPal), "/again", Body);
  EXPECT_EQ(Body, "back");
}

TEST_F(SimulatorTest, UseForThisProcessPointsEveryEndpointHere) {
  using namespace IWZelkAuthBase;
  const std::pair<TProviderHost, TProviderId> Owners[] = {
      {phFacebookWeb, TProviderId::Facebook},        {phFacebookGraph, TProviderId::Facebook},
      {phFacebookRest, TProviderId::Facebook},       {phGoogleAccounts, TProviderId::Google},
      {phGoogleApis, TProviderId::Google},           {phWindowsLiveLogin, TProviderId::WindowsLive},
      {phWindowsLiveApis, TProviderId::WindowsLive}, {phTwitterApi, TProviderId::Twitter},
      {phPayPalLiveNvp, TProviderId::PayPal},        {phPayPalSandboxNvp, TProviderId::PayPal},
      {phPayPalLiveWeb, TProviderId::PayPal},        {phPayPalSandboxWeb, TProviderId::PayPal},
      {phGoogleOAuth2, TProviderId::Google},         {phGoogleOpenId, TProviderId::Google},
      {phMicrosoftLogin, TProviderId::WindowsLive},  {phMicrosoftGraph, TProviderId::WindowsLive},
      {phPayPalLiveRest, TProviderId::PayPal},       {phPayPalSandboxRest, TProviderId::PayPal},
  };
  // The settings come in the order of their keys.
  std::map<std::string, std::string> ByKey;
  for (const auto& [Host, Provider] : Owners) {
    EXPECT_EQ(ProviderHost(Host), Sim.HostFor(Provider)) << ProviderHostKey(Host);
    ByKey[ProviderHostKey(Host)] = Sim.HostFor(Provider);
  }
  std::string Expected;
  for (const auto& [Key, Host] : ByKey)
    Expected += (Expected.empty() ? "" : ",") + Key + "=" + Host;
  // The current X API: the Twitter listener under its own host name.
  const std::string XHost = "localhost:" + std::to_string(Sim.Port(TProviderId::Twitter));
  EXPECT_EQ(ProviderHost(phXApi), XHost);
  Expected += ",x.api=" + XHost;
  EXPECT_EQ(Sim.EndpointSettings(), Expected);
  EXPECT_EQ(TransportSettings().ExtraCACertificates, Sim.CACertificatePEM());
}

TEST_F(SimulatorTest, BrowserPostsFormsAndDoesNotFollowRedirects) {
  Sim.Route(TProviderId::Google, "POST", "/consent", [](const TSimRequest& R) {
    const auto Form = R.Form();
    return TSimResponse::Redirect("http://127.0.0.1:8080/?state=" + Form.Values("state") +
                                  "&choice=" + IWZelkAuthBase::URLEncode(Form.Values("choice")));
  });
  SimBrowser Browser(Sim);
  const auto R = Browser.PostForm(Sim.BaseURL(TProviderId::Google) + "/consent",
                                  {{"state", "abc-123"}, {"choice", "Allow & go"}});
  EXPECT_EQ(R.Status, 302);
  EXPECT_EQ(R.Location, "http://127.0.0.1:8080/?state=abc-123&choice=Allow%20%26%20go");
  const auto Got = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Body, "state=abc-123&choice=Allow%20%26%20go");
  EXPECT_EQ(Got[0].Header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(SimulatorTest, BrowserSeesHeadersAsSentAndRefusesForeignHosts) {
  Sim.Route(TProviderId::Google, "GET", "/auth", [](const TSimRequest&) {
    return TSimResponse::Redirect("http://127.0.0.1:8080/?code=4%2Fab%2B%26c&state=s");
  });
  SimBrowser Browser(Sim);
  const auto R = Browser.Get("https://localhost:" + std::to_string(Sim.Port(TProviderId::Google)) +
                             "/auth?scope=a%20b");
  EXPECT_EQ(R.Status, 302);
  EXPECT_EQ(R.Location, "http://127.0.0.1:8080/?code=4%2Fab%2B%26c&state=s");
  EXPECT_EQ(Sim.Received(TProviderId::Google).at(0).Target, "/auth?scope=a%20b");
  try {
    Browser.Get("https://example.com/");
    ADD_FAILURE() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(),
              "SimBrowser: GET https://example.com/ failed: only loopback hosts are served");
  }
}

TEST_F(SimulatorTest, BrowserRefusesAServerItDoesNotTrust) {
  const auto Other = MakeCertificates({"localhost"}, {"127.0.0.1"});
  SimBrowser Stranger(Other.CAPem);
  try {
    Stranger.Get(Sim.BaseURL(TProviderId::Google) + "/");
    ADD_FAILURE() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_TRUE(E.Message().starts_with("SimBrowser: GET " + Sim.BaseURL(TProviderId::Google) +
                                        "/ failed: "))
        << E.Message();
  }
  EXPECT_TRUE(Sim.Received(TProviderId::Google).empty());
}

}  // namespace
}  // namespace zelk::sim
