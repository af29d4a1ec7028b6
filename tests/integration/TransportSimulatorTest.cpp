// The real transport against the simulator over TLS: replies of every shape, and each fault
// raising the step it belongs to.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"
#include "support/SimulatorFixture.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;
using sim::TFault;
using sim::TProviderId;
using sim::TSimRequest;
using sim::TSimResponse;

constexpr const char* kUserAgent =
    "Mozilla/5.001 (windows; U; NT4.0; en-US; rv:1.0) Gecko/25250101";

// Every failure test puts a secret in the query: it must never show in a message.
constexpr const char* kSecretPath = "/data?access_token=S3CR3T-T0KEN";

// A body whose every position is distinct enough that a lost, doubled or swapped piece shows.
std::string NumberedBody(int Lines) {
  std::string B;
  for (int I = 0; I < Lines; ++I)
    B += "line " + std::to_string(I) + ";";
  return B;
}

class TransportSimulatorTest : public testing::SimulatorFixture {
 protected:
  std::string Google() const { return Sim.HostFor(TProviderId::Google); }

  void Serve(std::string Path, std::string Body, int Status = 200) {
    Sim.Route(TProviderId::Google, "GET", Path, [Body, Status](const TSimRequest&) {
      return TSimResponse::Text(Body, "application/json", Status);
    });
  }

  // The message of the exception a GET of Path raises, and what Body held afterwards.
  std::pair<std::string, std::string> FailingGet(const std::string& Host,
                                                 const std::string& Path = kSecretPath) {
    std::string Body = "stale";
    try {
      Https_Get(Host, Path, Body);
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message().find("S3CR3T"), std::string::npos) << E.Message();
      return {E.Message(), Body};
    }
    ADD_FAILURE() << "no exception; body " << Body.substr(0, 200);
    return {"", Body};
  }
};

TEST_F(TransportSimulatorTest, GetReturnsTheBodyAndSendsTheFixedRequest) {
  Serve("/oauth2/v1/userinfo", "{\"id\":\"42\",\"name\":\"Zo\xC3\xAB\"}");
  std::string Body = "stale";
  Https_Get(Google(), "/oauth2/v1/userinfo?access_token=ya29.a%2Fb", Body);
  EXPECT_EQ(Body, "{\"id\":\"42\",\"name\":\"Zo\xC3\xAB\"}");

  const auto Got = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Method, "GET");
  EXPECT_EQ(Got[0].Target, "/oauth2/v1/userinfo?access_token=ya29.a%2Fb");
  EXPECT_EQ(Got[0].Version, "HTTP/1.0");
  EXPECT_EQ(Got[0].Header("User-Agent"), kUserAgent);
  EXPECT_EQ(Got[0].Header("Host"), Google());
  EXPECT_EQ(Got[0].Headers.size(), 2u) << "only Host and User-Agent";
  EXPECT_EQ(Got[0].Body, "");
}

TEST_F(TransportSimulatorTest, PostSendsTheBodyByteForByteWithTheCallersHeader) {
  Sim.Route(TProviderId::Google, "POST", "/o/oauth2/token",
            [](const TSimRequest& R) { return TSimResponse::Text("echo:" + R.Body); });
  const std::string Data = "code=4%2FabC&redirect_uri=http%3A%2F%2Flocalhost%2F&x=\xC3\xA9&=\x01";
  std::string Body;
  Https_Post(Google(), "/o/oauth2/token", "Content-Type: application/x-www-form-urlencoded", Data,
             Body);
  EXPECT_EQ(Body, "echo:" + Data);
  const auto Got = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Method, "POST");
  EXPECT_EQ(Got[0].Body, Data);
  EXPECT_EQ(Got[0].Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(Got[0].Header("Content-Length"), std::to_string(Data.size()));
  EXPECT_EQ(Got[0].Header("Accept"), "");
  EXPECT_EQ(Got[0].Header("Expect"), "");
}

TEST_F(TransportSimulatorTest, BodyInManySmallPiecesComesBackWholeAndInOrder) {
  const std::string Full = NumberedBody(400);  // about 4 kB in 7-byte pieces
  Serve("/pieces", Full);
  Sim.SetFault(TProviderId::Google, "/pieces", TFault::Pieces(7));
  std::string Body;
  Https_Get(Google(), "/pieces", Body);
  EXPECT_EQ(Body, Full);
}

TEST_F(TransportSimulatorTest, ErrorStatusBodyIsReturnedWithoutRaising) {
  const std::string Error =
      "{\"error\":{\"message\":\"Invalid OAuth access token.\",\"type\":\"OAuthException\"}}";
  Serve("/me", "unused");
  Sim.SetFault(TProviderId::Google, "/me", TFault::Reply(400, Error));
  std::string Body;
  EXPECT_NO_THROW(Https_Get(Google(), "/me", Body));
  EXPECT_EQ(Body, Error);
}

TEST_F(TransportSimulatorTest, EmptyReplyGivesEmptyBody) {
  Serve("/empty", "");
  std::string Body = "stale";
  EXPECT_NO_THROW(Https_Get(Google(), "/empty", Body));
  EXPECT_EQ(Body, "");
}

TEST_F(TransportSimulatorTest, RedirectIsReturnedNotFollowed) {
  Sim.Route(TProviderId::Google, "GET", "/moved",
            [](const TSimRequest&) { return TSimResponse::Redirect("/elsewhere"); });
  Serve("/elsewhere", "followed");
  std::string Body;
  Https_Get(Google(), "/moved", Body);
  EXPECT_NE(Body.find("/elsewhere"), std::string::npos);
  EXPECT_EQ(Body.find("followed"), std::string::npos);
  EXPECT_EQ(Sim.Received(TProviderId::Google).size(), 1u);
}

TEST_F(TransportSimulatorTest, LargeBodyUnderTheCapArrivesIntact) {
  // Exactly the default cap (1 MiB): reached, not exceeded.
  const std::size_t Size = 1024 * 1024;
  Serve("/large", "");
  Sim.SetFault(TProviderId::Google, "/large", TFault::Large(Size));
  std::string Body;
  Https_Get(Google(), "/large", Body);
  ASSERT_EQ(Body.size(), Size);
  for (std::size_t I = 0; I < Size; I += 4093)
    ASSERT_EQ(Body[I], sim::LargeBodyByte(I)) << "at " << I;
  EXPECT_EQ(Body.back(), sim::LargeBodyByte(Size - 1));
}

TEST_F(TransportSimulatorTest, BodyOverTheCapRaisesInsteadOfFillingMemory) {
  // One byte over the default cap.
  Serve("/data", "");
  Sim.SetFault(TProviderId::Google, "/data", TFault::Large(1024 * 1024 + 1));
  const auto [Message, Body] = FailingGet(Google());
  EXPECT_EQ(Message,
            "InternetQueryDataAvailable Error 63 Description Reply body exceeds the limit of "
            "1048576 bytes");
  EXPECT_LE(Body.size(), 1024u * 1024);
}

TEST_F(TransportSimulatorTest, BodyCutShortRaisesAndKeepsOnlyWhatArrived) {
  const std::string Full = "ACK=Success&TOKEN=EC-123456789&AMT=10.00&CORRELATIONID=abc";
  Serve("/data", Full);
  Sim.SetFault(TProviderId::Google, "/data", TFault::CutAfter(11));
  const auto [Message, Body] = FailingGet(Google());
  EXPECT_EQ(Message, "InternetQueryDataAvailable Error 18 Description transfer closed with " +
                         std::to_string(Full.size() - 11) + " bytes remaining to read");
  EXPECT_EQ(Body, Full.substr(0, 11));
}

TEST_F(TransportSimulatorTest, StallAfterTheHeadRaisesInternetQueryDataAvailable) {
  ChangeTransportSettings([](TTransportSettings& S) { S.StallTimeout = 300ms; });
  Serve("/data", "0123456789abcdef");
  // The head goes out at once; each 4-byte piece only after 30 s.
  Sim.SetFault(TProviderId::Google, "/data", TFault::Pieces(4, 30s));
  const auto [Message, Body] = FailingGet(Google());
  EXPECT_EQ(Message,
            "InternetQueryDataAvailable Error 28 Description Operation timed out after 300 "
            "milliseconds with no data sent or received");
  EXPECT_EQ(Body, "");
}

// A provider that trickles its reply a byte at a time restarts the stall limit with every byte;
// the call's deadline ends it all the same, at the step it had reached, keeping what arrived.
// The same on a kept connection, which brings no time of the call before it along.
TEST_F(TransportSimulatorTest, ATricklingReplyIsCutAtTheTotalTimeout) {
  // A reply of about 150 bytes, one every 200 ms: 30 s, were it not cut at 3 s. Each pause stays
  // far under the stall limit.
  ChangeTransportSettings([](TTransportSettings& S) {
    S.TotalTimeout = 3s;
    S.StallTimeout = 20s;
  });
  const std::string Full = NumberedBody(20);
  Serve("/hello", "hi");
  for (const char* Method : {"GET", "POST"})
    Sim.Route(TProviderId::Google, Method, "/trickle",
              [Full](const TSimRequest&) { return TSimResponse::Text(Full, "application/json"); });
  Sim.SetFault(TProviderId::Google, "/trickle", TFault::Pieces(1, 200ms));

  struct TCase {
    const char* Name;
    std::function<void(std::string& Body)> Call;
    std::size_t ConnectionRequest;  // the trickling request's place on its connection
  };
  const std::string Target = std::string("/trickle?") + (kSecretPath + 6);
  const TCase Cases[] = {
      {"classic GET", [&](std::string& B) { Https_Get(Google(), Target, B); }, 1},
      {"current POST on a kept connection",
       [&](std::string& B) {
         std::string Hello;
         Https_Get11(Google(), "/hello", {"Accept: application/json"}, Hello);
         ASSERT_EQ(Hello, "hi");
         Https_Post11(Google(), Target, {"Accept: application/json"}, "code=S3CR3T", B);
       },
       2},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    Sim.ClearReceived();
    std::string Body;
    std::string Message = "no exception";
    try {
      C.Call(Body);
    } catch (const rtl::Exception& E) {
      Message = E.Message();
    }
    EXPECT_TRUE(Message.starts_with(
        "InternetQueryDataAvailable Error 28 Description Operation timed out after "))
        << Message;
    EXPECT_TRUE(Message.ends_with(" (past the call's TotalTimeout of 3000 milliseconds)"))
        << Message;
    EXPECT_EQ(Message.find("S3CR3T"), std::string::npos) << Message;
    EXPECT_LT(Body.size(), Full.size());
    EXPECT_EQ(Body, Full.substr(0, Body.size()));
    const auto Got = Sim.Received(TProviderId::Google);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.back().Path, "/trickle");
    EXPECT_EQ(Got.back().ConnectionRequest, C.ConnectionRequest);
  }
}

TEST_F(TransportSimulatorTest, ServerThatNeverAnswersRaisesHttpReceiveResponse) {
  ChangeTransportSettings([](TTransportSettings& S) { S.StallTimeout = 300ms; });
  Serve("/data", "late");
  Sim.SetFault(TProviderId::Google, "/data", TFault::Delayed(30s));
  const auto [Message, Body] = FailingGet(Google());
  EXPECT_EQ(Message,
            "HttpReceiveResponse Error 28 Description Operation timed out after 300 "
            "milliseconds with no data sent or received");
  EXPECT_EQ(Body, "");
  EXPECT_EQ(Sim.Received(TProviderId::Google).size(), 1u);
}

TEST_F(TransportSimulatorTest, PostToAServerThatNeverAnswersRaisesHttpReceiveResponse) {
  ChangeTransportSettings([](TTransportSettings& S) { S.StallTimeout = 300ms; });
  Sim.SetFault(TProviderId::Google, "/nvp", TFault::Delayed(30s));
  std::string Body;
  try {
    Https_Post(Google(), "/nvp", "", std::string(5000, 'x'), Body);
    ADD_FAILURE() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_TRUE(E.Message().starts_with("HttpReceiveResponse Error 28 ")) << E.Message();
  }
}

TEST_F(TransportSimulatorTest, UntrustedCertificateRaisesHttpSendRequest) {
  // The system store alone: the simulator's CA is not in it.
  ChangeTransportSettings([](TTransportSettings& S) { S.ExtraCACertificates = ""; });
  Serve("/data", "secret reply");
  const auto [Message, Body] = FailingGet(Google());
  EXPECT_EQ(Message,
            "HttpSendRequest Error 60 Description SSL certificate problem: unable to get local "
            "issuer certificate");
  EXPECT_EQ(Body, "");
  EXPECT_TRUE(Sim.Received(TProviderId::Google).empty());
}

TEST_F(TransportSimulatorTest, HostNameFromTheCertificateWorksToo) {
  Serve("/hello", "hi");
  std::string Body;
  Https_Get("localhost:" + std::to_string(Sim.Port(TProviderId::Google)), "/hello", Body);
  EXPECT_EQ(Body, "hi");
}

TEST_F(TransportSimulatorTest, RefusedPortRaisesHttpSendRequest) {
  // A port that was free a moment ago and has no listener.
  int Port = 0;
  {
    const int S = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t L = sizeof A;
    ASSERT_EQ(::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
    ASSERT_EQ(::getsockname(S, reinterpret_cast<sockaddr*>(&A), &L), 0);
    Port = ntohs(A.sin_port);
    ::close(S);
  }
  const auto [Message, Body] = FailingGet("127.0.0.1:" + std::to_string(Port));
  EXPECT_TRUE(
      Message.starts_with("HttpSendRequest Error 7 Description Failed to connect to "
                          "127.0.0.1 port " +
                          std::to_string(Port)))
      << Message;
  EXPECT_EQ(Body, "");
}

TEST_F(TransportSimulatorTest, UnresolvableHostRaisesHttpSendRequest) {
  // A 64-character label is no valid DNS name: the resolver fails it without asking a server.
  const std::string Host = std::string(64, 'a') + ".invalid";
  const auto [Message, Body] = FailingGet(Host);
  EXPECT_EQ(Message, "HttpSendRequest Error 6 Description Could not resolve host: " + Host);
  EXPECT_EQ(Body, "");
}

// Each failure says whether the request may have reached the server: not before it was sent
// whole (the host setting, name resolution, connecting, the certificate), and always once it
// was, whether or not the server acted on it.
TEST_F(TransportSimulatorTest, EachFailureTellsWhetherTheRequestMayHaveArrived) {
  ChangeTransportSettings([](TTransportSettings& S) { S.StallTimeout = 300ms; });
  // Shared with the route: a delayed request may still be waiting when the test ends.
  const auto Handled = std::make_shared<std::atomic<int>>(0);
  Sim.Route(TProviderId::Google, "POST", "/pay", [Handled](const TSimRequest&) {
    ++*Handled;
    return TSimResponse::Text("ACK=Success&TRANSACTIONID=1");
  });
  sim::Simulator Gone;  // stopped: its port refuses connections
  Gone.Start();
  const std::string Refusing = Gone.HostFor(TProviderId::Google);
  Gone.Stop();
  struct TCase {
    const char* Name;
    std::string Host;  // empty: the simulator
    std::optional<TFault> Fault;
    bool TrustSimulator;
    const char* Step;
    bool MayHaveArrived;
    int Handled;  // how often the server acted on it
  };
  const TCase Cases[] = {
      {"malformed host", "bad host", std::nullopt, true, "InternetConnect", false, 0},
      {"unresolvable", std::string(64, 'b') + ".invalid", std::nullopt, true, "HttpSendRequest",
       false, 0},
      {"refused", Refusing, std::nullopt, true, "HttpSendRequest", false, 0},
      {"untrusted certificate", "", std::nullopt, false, "HttpSendRequest", false, 0},
      {"reset as the request arrives", "", TFault::ResetConnection(), true, "HttpReceiveResponse",
       true, 0},
      {"answer lost after acting", "", TFault::LoseAnswer(), true, "HttpReceiveResponse", true, 1},
      {"answer cut short", "", TFault::CutAfter(5), true, "InternetQueryDataAvailable", true, 1},
      {"no answer in time", "", TFault::Delayed(30s), true, "HttpReceiveResponse", true, 0},
  };
  const std::string CA = TransportSettings().ExtraCACertificates;
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    Sim.ClearFaults();
    if (K.Fault) Sim.SetFault(TProviderId::Google, "/pay", *K.Fault);
    ChangeTransportSettings([&](TTransportSettings& S) {
      S.ExtraCACertificates = K.TrustSimulator ? CA : std::string();
    });
    *Handled = 0;
    for (const bool Current : {false, true}) {
      SCOPED_TRACE(Current ? "Https_Post11" : "Https_Post");
      std::string Body;
      try {
        const std::string Host = K.Host.empty() ? Google() : K.Host;
        if (Current)
          Https_Post11(Host, "/pay", {"Content-Type: text/plain"}, "AMT=10", Body);
        else
          Https_Post(Host, "/pay", "", "AMT=10", Body);
        ADD_FAILURE() << "no exception";
      } catch (const ETransportError& E) {
        EXPECT_EQ(E.Step(), K.Step);
        EXPECT_TRUE(E.Message().starts_with(std::string(K.Step) + " Error ")) << E.Message();
        EXPECT_EQ(E.RequestMayHaveArrived(), K.MayHaveArrived) << E.Message();
      }
    }
    EXPECT_EQ(Handled->load(), 2 * K.Handled);
  }
}

TEST_F(TransportSimulatorTest, CallsShareOneTrustStoreAcrossThreads) {
  Serve("/hello", "hi");
  std::string Body;
  Https_Get(Google(), "/hello", Body);  // the store for the simulator's CA exists from here on
  const auto Builds = detail::TrustStoreBuilds();
  std::vector<std::thread> Threads;
  std::atomic<int> Good{0};
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([&] {
      for (int I = 0; I < 5; ++I) {
        std::string B;
        Https_Get(Google(), "/hello", B);
        if (B == "hi") ++Good;
      }
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Good.load(), 20);
  EXPECT_EQ(detail::TrustStoreBuilds(), Builds);
  EXPECT_EQ(Sim.Received(TProviderId::Google).size(), 21u);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
