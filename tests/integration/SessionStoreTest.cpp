// The Redis session store against a redis-server of the test's own: leases, compare-and-set
// saves, renames, the flow index and claims across instances and threads; a server that stops,
// stalls or comes back; passwords, databases and refused URLs.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/web/store/RedisStoreDetail.h"
#include "platform/web/store/SessionStore.h"
#include "support/RedisServer.h"

namespace zelk::web::store {
namespace {

using namespace std::chrono_literals;
using testing::TRedisServer;

std::unique_ptr<TSessionStore> Open(const std::string& URL, const std::string& Instance,
                                    std::chrono::milliseconds Timeout = 250ms,
                                    int Connections = 8) {
  return OpenSessionStore(URL, {Timeout, Instance, Connections});
}

// The message of the rtl::Exception (EStoreUnavailable is one) that Call raises.
std::string MessageOf(const std::function<void()>& Call) {
  try {
    Call();
  } catch (const rtl::Exception& E) {
    return E.Message();
  }
  return "(nothing raised)";
}

class SessionStoreTest : public ::testing::Test {
 protected:
  TRedisServer Redis;
  std::unique_ptr<TSessionStore> A = Open(Redis.URL(), "instance-a");
  std::unique_ptr<TSessionStore> B = Open(Redis.URL(), "instance-b");
  std::uint64_t V = 0;  // NewVersion of the saves

  std::string PTtl(const std::string& Key) const { return Redis.Command({"PTTL", Key}); }
};

TEST_F(SessionStoreTest, LeaseIsExclusiveBetweenInstancesAndReportsTheVersion) {
  auto L = A->Lease("s1", 60s);
  EXPECT_TRUE(L.Granted);
  EXPECT_EQ(L.Version, 0u);
  ASSERT_EQ(A->Save("s1", 0, "rec", 60s, {}, V), TSaveResult::srSaved);

  L = B->Lease("s1", 60s);
  EXPECT_FALSE(L.Granted);
  EXPECT_EQ(L.Version, 1u);  // the version is reported to a loser too
  EXPECT_GT(L.Wait, 59s);
  EXPECT_LE(L.Wait, 60s);
  B->ReleaseLease("s1");  // not B's: left alone
  EXPECT_FALSE(B->Lease("s1", 60s).Granted);
  EXPECT_TRUE(A->Lease("s1", 60s).Granted);  // renewed by its holder
  A->ReleaseLease("s1");
  EXPECT_TRUE(B->Lease("s1", 60s).Granted);
  EXPECT_EQ(Redis.Command({"GET", "zelk:l:s1"}), "instance-b");
}

TEST_F(SessionStoreTest, ADeadHoldersLeaseRunsOut) {
  ASSERT_TRUE(A->Lease("s1", 150ms).Granted);
  A.reset();  // dies holding it
  ASSERT_FALSE(B->Lease("s1", 60s).Granted);
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  bool Granted = false;
  while (!Granted && std::chrono::steady_clock::now() < Deadline)
    Granted = B->Lease("s1", 60s).Granted;
  EXPECT_TRUE(Granted);
}

TEST_F(SessionStoreTest, SaveIsACompareAndSetUnderTheLease) {
  ASSERT_FALSE(A->Load("s1"));
  ASSERT_TRUE(A->Lease("s1", 60s).Granted);
  ASSERT_EQ(A->Save("s1", 0, "first", 60s, {}, V), TSaveResult::srSaved);
  EXPECT_EQ(V, 1u);
  // The same save sent again (its answer was lost) is recognised as done; other bytes from the
  // same version are a conflict.
  EXPECT_EQ(A->Save("s1", 0, "first", 60s, {}, V), TSaveResult::srSaved);
  EXPECT_EQ(V, 1u);
  EXPECT_EQ(A->Save("s1", 0, "other", 60s, {}, V), TSaveResult::srConflict);
  EXPECT_EQ(Redis.Command({"HGET", "zelk:s:s1", "d"}), "first");
  // Two writers from version 1, at once: exactly one wins.
  for (int Round = 0; Round < 20; ++Round) {
    const std::uint64_t From = V;
    std::atomic<int> Saved{0}, Conflicts{0};
    std::vector<std::thread> Writers;
    for (int W = 0; W < 2; ++W)
      Writers.emplace_back([&, W] {
        std::uint64_t Mine = 0;
        const auto R = A->Save("s1", From, "writer" + std::to_string(W), 60s, {}, Mine);
        if (R == TSaveResult::srSaved) {
          ++Saved;
          V = Mine;
        }
        if (R == TSaveResult::srConflict) ++Conflicts;
      });
    for (auto& W : Writers)
      W.join();
    ASSERT_EQ(Saved, 1);
    ASSERT_EQ(Conflicts, 1);
    ASSERT_EQ(V, From + 1);
  }
  EXPECT_EQ(A->Load("s1")->second, 21u);
  // A writer without the lease: lease lost, whatever version it names; nothing written.
  std::uint64_t Untouched = 99;
  EXPECT_EQ(B->Save("s1", 21, "b", 60s, {}, Untouched), TSaveResult::srLeaseLost);
  EXPECT_EQ(B->Save("s1", 5, "b", 60s, {}, Untouched), TSaveResult::srLeaseLost);
  EXPECT_EQ(A->Save("s1", 5, "stale", 60s, {}, Untouched), TSaveResult::srConflict);
  A->ReleaseLease("s1");
  EXPECT_EQ(A->Save("s1", 21, "a", 60s, {}, Untouched), TSaveResult::srLeaseLost);
  EXPECT_EQ(Untouched, 99u);
  EXPECT_EQ(A->Load("s1")->second, 21u);
}

TEST_F(SessionStoreTest, LoadReturnsTheBytesSavedWithTheirVersionAndSaveSetsTheExpiry) {
  // Ids and records as an attacker would shape them: RESP framing, NUL bytes, 4 KiB.
  const std::string Id = "x\r\n*1\r\n$4\r\nPING\r\n";
  std::string Record(4096, '\0');
  for (std::size_t I = 0; I < Record.size(); ++I)
    Record[I] = static_cast<char>(I * 7);
  ASSERT_TRUE(A->Lease(Id, 60s).Granted);
  ASSERT_EQ(A->Save(Id, 0, "short", 1s, {}, V), TSaveResult::srSaved);
  const long Short = std::stol(PTtl("zelk:s:" + Id));
  EXPECT_GT(Short, 0);
  EXPECT_LE(Short, 1000);
  ASSERT_EQ(A->Save(Id, 1, Record, 60s, {}, V), TSaveResult::srSaved);
  EXPECT_GT(std::stol(PTtl("zelk:s:" + Id)), 59000);  // refreshed by the save
  const auto Loaded = A->Load(Id);
  ASSERT_TRUE(Loaded);
  EXPECT_EQ(Loaded->first, Record);
  EXPECT_EQ(Loaded->second, 2u);
  EXPECT_EQ(Redis.Command({"HGET", "zelk:s:" + Id, "v"}), "2");
  // A lease taken with a record expiry keeps a session in use from expiring; one that is not
  // granted changes nothing.
  ASSERT_TRUE(A->Lease(Id, 60s, 5s).Granted);
  const long Refreshed = std::stol(PTtl("zelk:s:" + Id));
  EXPECT_GT(Refreshed, 0);
  EXPECT_LE(Refreshed, 5000);
  EXPECT_FALSE(B->Lease(Id, 60s, 120s).Granted);
  EXPECT_LE(std::stol(PTtl("zelk:s:" + Id)), 5000);
}

TEST_F(SessionStoreTest, RenameMovesRecordVersionExpiryAndLeaseOnlyForTheHolder) {
  ASSERT_TRUE(A->Lease("old", 60s).Granted);
  ASSERT_EQ(A->Save("old", 0, "one", 30s, {}, V), TSaveResult::srSaved);
  ASSERT_EQ(A->Save("old", 1, "two", 30s, {}, V), TSaveResult::srSaved);
  EXPECT_FALSE(B->Rename("old", "new"));  // not B's lease: nothing moves
  EXPECT_EQ(A->Load("old")->first, "two");
  ASSERT_TRUE(A->Rename("old", "new"));

  EXPECT_FALSE(A->Load("old"));
  EXPECT_EQ(Redis.Command({"EXISTS", "zelk:l:old"}), "0");
  EXPECT_EQ(A->Load("new"), std::make_pair(std::string("two"), std::uint64_t{2}));
  EXPECT_LE(std::stol(PTtl("zelk:s:new")), 30000);
  EXPECT_FALSE(B->Lease("new", 60s).Granted);  // the lease came along
  EXPECT_EQ(A->Save("new", 2, "three", 60s, {}, V), TSaveResult::srSaved);
  EXPECT_TRUE(B->Lease("old", 60s).Granted);  // the old id names nothing

  // A lease without a record: the lease moves, and a record NewId had is gone.
  ASSERT_TRUE(A->Lease("fresh", 60s).Granted);
  ASSERT_TRUE(A->Rename("fresh", "new"));
  EXPECT_FALSE(A->Load("new"));
  EXPECT_TRUE(A->Lease("new", 60s).Granted);
}

TEST_F(SessionStoreTest, SaveNewTakesTheLeaseWritesVersionOneAndRetiresTheOldIdInOneWrite) {
  ASSERT_TRUE(A->Lease("old", 60s).Granted);
  ASSERT_EQ(A->Save("old", 0, "before", 60s, {"state-old"}, V), TSaveResult::srSaved);
  const auto Before = A->Counters().RoundTrips;
  ASSERT_EQ(A->SaveNew("new", "old", "after", 30s, 5s, {"state-1", "token-1"}, V),
            TSaveResult::srSaved);
  EXPECT_EQ(A->Counters().RoundTrips - Before, 1u);
  EXPECT_EQ(V, 1u);
  EXPECT_EQ(A->Load("new"), std::make_pair(std::string("after"), std::uint64_t{1}));
  EXPECT_FALSE(A->Load("old"));
  EXPECT_EQ(Redis.Command({"EXISTS", "zelk:l:old"}), "0");
  EXPECT_EQ(Redis.Command({"GET", "zelk:l:new"}), "instance-a");
  const long LeaseTtl = std::stol(PTtl("zelk:l:new"));
  EXPECT_GT(LeaseTtl, 0);
  EXPECT_LE(LeaseTtl, 5000);
  EXPECT_GT(std::stol(PTtl("zelk:s:new")), 5000);
  EXPECT_LE(std::stol(PTtl("zelk:s:new")), 30000);
  EXPECT_EQ(B->SessionOfFlow("state-1"), "new");
  EXPECT_EQ(B->SessionOfFlow("token-1"), "new");
  EXPECT_FALSE(B->Lease("new", 60s).Granted);  // the lease is A's
  EXPECT_EQ(A->Save("new", 1, "next", 60s, {}, V), TSaveResult::srSaved);
  EXPECT_TRUE(B->Lease("old", 60s).Granted);  // the old id names nothing

  // A brand-new session, no old id: the same without the move.
  ASSERT_EQ(B->SaveNew("fresh", "", "first", 60s, 5s, {}, V), TSaveResult::srSaved);
  EXPECT_EQ(A->Load("fresh"), std::make_pair(std::string("first"), std::uint64_t{1}));
  EXPECT_EQ(Redis.Command({"GET", "zelk:l:fresh"}), "instance-b");
}

TEST_F(SessionStoreTest, SaveNewWritesNothingWhenTheIdIsLeasedElsewhereOrStoredAlready) {
  struct TCase {
    const char* Name;
    std::function<void()> Arrange;  // what "taken" is before A's SaveNew
    TSaveResult Want;
    const char* LeaseAfter;  // who holds the lease on "taken" afterwards
  };
  const std::vector<TCase> Cases{
      {"another instance's lease", [&] { ASSERT_TRUE(B->Lease("taken", 60s).Granted); },
       TSaveResult::srLeaseLost, "instance-b"},
      {"a record, leased by nobody",
       [&] {
         ASSERT_TRUE(B->Lease("taken", 60s).Granted);
         ASSERT_EQ(B->Save("taken", 0, "theirs", 60s, {}, V), TSaveResult::srSaved);
         B->ReleaseLease("taken");
       },
       TSaveResult::srConflict, "(nil)"},
      {"a record under this instance's own lease",
       [&] {
         ASSERT_TRUE(A->Lease("taken", 60s).Granted);
         ASSERT_EQ(A->Save("taken", 0, "theirs", 60s, {}, V), TSaveResult::srSaved);
       },
       TSaveResult::srConflict, "instance-a"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    ASSERT_EQ(Redis.Command({"FLUSHALL"}), "OK");
    ASSERT_TRUE(A->Lease("from", 60s).Granted);
    ASSERT_EQ(A->Save("from", 0, "from-record", 60s, {}, V), TSaveResult::srSaved);
    C.Arrange();
    const auto Before = Redis.Command({"HGET", "zelk:s:taken", "v"});
    std::uint64_t Untouched = 99;
    EXPECT_EQ(A->SaveNew("taken", "from", "mine", 60s, 5s, {"state-x"}, Untouched), C.Want);
    EXPECT_EQ(Untouched, 99u);
    EXPECT_EQ(Redis.Command({"HGET", "zelk:s:taken", "v"}), Before);
    EXPECT_NE(Redis.Command({"HGET", "zelk:s:taken", "d"}), "mine");
    EXPECT_EQ(Redis.Command({"GET", "zelk:l:taken"}), C.LeaseAfter);
    EXPECT_FALSE(A->SessionOfFlow("state-x"));
    EXPECT_EQ(A->Load("from")->first, "from-record");  // the old id keeps its record
    EXPECT_EQ(Redis.Command({"GET", "zelk:l:from"}), "instance-a");
  }
  EXPECT_THROW(A->SaveNew("n", "", "r", 60s, 0ms, {}, V), rtl::Exception);
  EXPECT_THROW(A->SaveNew("n", "", "r", 0ms, 5s, {}, V), rtl::Exception);
}

TEST_F(SessionStoreTest, DeleteRemovesRecordAndLease) {
  ASSERT_TRUE(A->Lease("s1", 60s).Granted);
  ASSERT_EQ(A->Save("s1", 0, "rec", 60s, {}, V), TSaveResult::srSaved);
  B->Delete("s1");
  EXPECT_FALSE(A->Load("s1"));
  EXPECT_EQ(B->Lease("s1", 60s).Version, 0u);
  EXPECT_NO_THROW(B->Delete("never-saved"));
}

TEST_F(SessionStoreTest, SavePointsFlowKeysAtTheSession) {
  ASSERT_TRUE(A->Lease("s1", 60s).Granted);
  ASSERT_TRUE(B->Lease("s2", 60s).Granted);
  ASSERT_EQ(A->Save("s1", 0, "r", 2s, {"state-1", "token-1"}, V), TSaveResult::srSaved);
  ASSERT_EQ(B->Save("s2", 0, "r", 60s, {"state-2"}, V), TSaveResult::srSaved);
  EXPECT_EQ(B->SessionOfFlow("state-1"), "s1");
  EXPECT_EQ(B->SessionOfFlow("token-1"), "s1");
  EXPECT_EQ(A->SessionOfFlow("state-2"), "s2");
  EXPECT_FALSE(A->SessionOfFlow("unknown"));
  EXPECT_LE(std::stol(PTtl("zelk:f:state-1")), 2000);
  // A flow key saved again by another session now names that one.
  ASSERT_EQ(B->Save("s2", 1, "r", 60s, {"token-1"}, V), TSaveResult::srSaved);
  EXPECT_EQ(A->SessionOfFlow("token-1"), "s2");
  EXPECT_EQ(A->SessionOfFlow("state-1"), "s1");  // earlier keys stay until they expire
}

TEST_F(SessionStoreTest, AFlowIsClaimedOnceAcrossThreadsAndInstances) {
  for (const char* Flow : {"flow-1", "flow-2"}) {
    std::atomic<int> Won{0};
    std::vector<std::thread> Threads;
    for (int T = 0; T < 8; ++T)
      Threads.emplace_back([&, T] {
        for (int I = 0; I < 10; ++I)
          if ((T % 2 ? A : B)->ClaimFlow(Flow, "s0", 60s) == TClaim::clClaimed) ++Won;
      });
    for (auto& T : Threads)
      T.join();
    EXPECT_EQ(Won, 1) << Flow;
  }
  // Released by whoever does not hold it: still claimed. By its holder: claimable again.
  const bool AHolds = Redis.Command({"GET", "zelk:c:flow-1"}) == "instance-a";
  auto& Holder = AHolds ? A : B;
  auto& Other = AHolds ? B : A;
  Other->ReleaseFlowClaim("flow-1");
  EXPECT_EQ(Other->ClaimFlow("flow-1", "s0", 60s), TClaim::clRefused);
  Holder->ReleaseFlowClaim("flow-1");
  EXPECT_EQ(Other->ClaimFlow("flow-1", "s0", 500ms), TClaim::clClaimed);
  EXPECT_LE(std::stol(PTtl("zelk:c:flow-1")), 500);
}

TEST_F(SessionStoreTest, AClaimIsTakenOverOnlyByTheNextHolderOfTheSessionsLease) {
  // A claims the flow under its lease on s1 (again too: one session's requests are one at a
  // time within an instance) and dies mid-completion.
  ASSERT_TRUE(A->Lease("s1", 60s, 60s).Granted);
  ASSERT_EQ(A->ClaimFlow("flow-1", "s1", 60s), TClaim::clClaimed);
  EXPECT_EQ(A->ClaimFlow("flow-1", "s1", 60s), TClaim::clClaimed);
  // While A's lease lasts nobody takes the completion away.
  EXPECT_FALSE(B->Lease("s1", 5s, 60s).Granted);
  EXPECT_EQ(B->ClaimFlow("flow-1", "s1", 60s), TClaim::clRefused);
  // A's lease runs out (deleted here rather than waited for): B, now holding s1, completes the
  // flow, and only B.
  Redis.Command({"DEL", "zelk:l:s1"});
  ASSERT_TRUE(B->Lease("s1", 5s, 60s).Granted);
  EXPECT_EQ(B->ClaimFlow("flow-1", "s1", 60s), TClaim::clTakenOver);
  EXPECT_EQ(Redis.Command({"GET", "zelk:c:flow-1"}), "instance-b");
  EXPECT_EQ(A->ClaimFlow("flow-1", "s1", 60s), TClaim::clRefused);
  A->ReleaseFlowClaim("flow-1");  // the old claimant cannot free the new claim
  EXPECT_EQ(Redis.Command({"GET", "zelk:c:flow-1"}), "instance-b");
  // Nobody holding the session: a claim there stays where it is.
  Redis.Command({"DEL", "zelk:l:s1"});
  EXPECT_EQ(A->ClaimFlow("flow-1", "s1", 60s), TClaim::clRefused);
  EXPECT_EQ(B->ClaimFlow("flow-1", "s1", 60s), TClaim::clRefused);
}

TEST_F(SessionStoreTest, ManyThreadsShareAFewConnections) {
  auto Pooled = Open(Redis.URL(), "instance-p", 2s, 2);
  std::vector<std::thread> Threads;
  std::atomic<int> Failures{0};
  for (int T = 0; T < 6; ++T)
    Threads.emplace_back([&, T] {
      const std::string Id = "s" + std::to_string(T);
      std::uint64_t Version = 0;
      for (int I = 0; I < 30; ++I)
        if (!Pooled->Lease(Id, 60s).Granted ||
            Pooled->Save(Id, Version, std::to_string(I), 60s, {}, Version) != TSaveResult::srSaved)
          ++Failures;
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Failures, 0);
  for (int T = 0; T < 6; ++T)
    EXPECT_EQ(A->Load("s" + std::to_string(T)),
              std::make_pair(std::string("29"), std::uint64_t{30}));
  EXPECT_LE(Pooled->Counters().Connects, 2u);
}

TEST_F(SessionStoreTest, EveryCallCostsOneRoundTripAndAFlushedScriptOneMore) {
  ASSERT_TRUE(A->Lease("s1", 60s).Granted);
  EXPECT_EQ(A->Counters().RoundTrips, 2u);  // the connection's set-up (scripts loaded), the lease
  const std::vector<std::pair<const char*, std::function<void()>>> Calls{
      {"Lease", [&] { A->Lease("s1", 60s); }},
      {"Save",
       [&] {
         A->Save("s1", V, "r", 60s, {"f1", "f2", "f3"}, V);
       }},
      {"Load", [&] { A->Load("s1"); }},
      {"SessionOfFlow", [&] { A->SessionOfFlow("f1"); }},
      {"ClaimFlow", [&] { A->ClaimFlow("f1", "s1", 60s); }},
      {"ReleaseFlowClaim", [&] { A->ReleaseFlowClaim("f1"); }},
      {"SaveNew", [&] { A->SaveNew("s0", "", "r", 60s, 60s, {"f4"}, V); }},
      {"Rename", [&] { A->Rename("s1", "s2"); }},
      {"ReleaseLease", [&] { A->ReleaseLease("s2"); }},
      {"Delete", [&] { A->Delete("s2"); }},
      {"Reachable", [&] { EXPECT_TRUE(A->Reachable()); }}};
  for (const auto& [Name, Call] : Calls) {
    const auto Before = A->Counters();
    Call();
    const auto After = A->Counters();
    EXPECT_EQ(After.RoundTrips - Before.RoundTrips, 1u) << Name;
    EXPECT_EQ(After.Calls - Before.Calls, 1u) << Name;
  }
  ASSERT_EQ(Redis.Command({"SCRIPT", "FLUSH"}), "OK");
  auto Before = A->Counters().RoundTrips;
  EXPECT_TRUE(A->Lease("s3", 60s).Granted);  // NOSCRIPT, then EVAL
  EXPECT_EQ(A->Counters().RoundTrips - Before, 2u);
  Before = A->Counters().RoundTrips;
  EXPECT_TRUE(A->Lease("s3", 60s).Granted);
  EXPECT_EQ(A->Counters().RoundTrips - Before, 1u);

  const auto C = A->Counters();
  std::uint64_t InBuckets = 0;
  for (auto N : C.Latency)
    InBuckets += N;
  EXPECT_EQ(InBuckets, C.Calls);
  EXPECT_EQ(C.Errors, 0u);
  EXPECT_EQ(C.Connects, 1u);
}

TEST_F(SessionStoreTest, AStoppedServerRaisesUnavailableAndTheStoreReconnectsAfterItsRestart) {
  // A restart between two calls: the idle connection it closed is not used.
  ASSERT_TRUE(B->Lease("s0", 60s).Granted);
  Redis.Stop();
  Redis.Start();
  EXPECT_TRUE(B->Lease("s0", 60s).Granted);
  EXPECT_EQ(B->Counters().Errors, 0u);

  ASSERT_TRUE(A->Lease("s1", 60s).Granted);  // a pooled connection the stop breaks
  Redis.Stop();
  const std::vector<std::pair<const char*, std::function<void()>>> Calls{
      {"Lease", [&] { A->Lease("s1", 60s); }},
      {"ReleaseLease", [&] { A->ReleaseLease("s1"); }},
      {"Load", [&] { A->Load("s1"); }},
      {"Save", [&] { A->Save("s1", 0, "r", 60s, {"f"}, V); }},
      {"Rename", [&] { A->Rename("s1", "s2"); }},
      {"Delete", [&] { A->Delete("s1"); }},
      {"SessionOfFlow", [&] { A->SessionOfFlow("f"); }},
      {"ClaimFlow", [&] { A->ClaimFlow("f", "s", 60s); }},
      {"ReleaseFlowClaim", [&] { A->ReleaseFlowClaim("f"); }}};
  for (const auto& [Name, Call] : Calls) {
    EXPECT_THROW(Call(), EStoreUnavailable) << Name;
    EXPECT_EQ(MessageOf(Call),
              "Session store " + Redis.HostPort() + ": connecting: Connection refused")
        << Name;
  }
  EXPECT_FALSE(A->Reachable());
  EXPECT_EQ(A->Counters().Errors, 2 * Calls.size() + 1);

  Redis.Start();  // same port, empty
  EXPECT_TRUE(A->Reachable());
  EXPECT_TRUE(A->Lease("s1", 60s).Granted);
  EXPECT_EQ(A->Save("s1", 0, "again", 60s, {}, V), TSaveResult::srSaved);  // scripts re-sent
  EXPECT_EQ(B->Load("s1")->first, "again");
}

TEST_F(SessionStoreTest, AStalledServerTimesOutAndItsLateAnswerIsNeverTakenForAnother) {
  auto Fast = Open(Redis.URL(), "instance-f", 100ms, 1);
  ASSERT_TRUE(Fast->Lease("s1", 60s).Granted);
  ASSERT_EQ(Fast->Save("s1", 0, "rec", 60s, {}, V), TSaveResult::srSaved);
  Redis.Pause();
  EXPECT_EQ(MessageOf([&] { Fast->Load("s1"); }),
            "Session store " + Redis.HostPort() + ": Load: no answer within 100 ms");
  EXPECT_FALSE(Fast->Reachable());
  Redis.Resume();
  // The stalled connection was dropped: the late HMGET answer cannot answer this GET.
  EXPECT_FALSE(Fast->SessionOfFlow("unknown"));
  EXPECT_EQ(Fast->Load("s1")->first, "rec");
}

TEST_F(SessionStoreTest, AnOutOfRangeDatabaseIsRefusedAndDatabasesAreSeparate) {
  auto Db1 = Open(Redis.URL() + "/1", "instance-a");
  ASSERT_TRUE(Db1->Lease("s1", 60s).Granted);
  ASSERT_EQ(Db1->Save("s1", 0, "in db 1", 60s, {}, V), TSaveResult::srSaved);
  EXPECT_FALSE(A->Load("s1"));  // db 0
  EXPECT_EQ(Db1->Load("s1")->first, "in db 1");
  auto Db99 = Open(Redis.URL() + "/99", "instance-a");
  EXPECT_THROW(Db99->Load("s1"), EStoreUnavailable);
  EXPECT_EQ(
      MessageOf([&] { Db99->Load("s1"); }),
      "Session store " + Redis.HostPort() + ": SELECT 99 refused: ERR DB index is out of range");
}

TEST(SessionStorePassword, WorksWithTheRightPasswordOnlyAndNeverShowsIt) {
  const std::string Password = "s3cr:t@/%x";
  TRedisServer Redis({Password});
  const struct {
    std::string URL;
    std::string Failure;  // empty: works
  } Cases[] = {
      {Redis.URL(), ""},
      {Redis.URL(false),
       "SCRIPT LOAD refused: NOAUTH Authentication required. (the store URL gives no password)"},
      {"redis://:wrong@" + Redis.HostPort(),
       "AUTH refused: WRONGPASS invalid username-password pair or user is disabled."},
  };
  for (const auto& C : Cases) {
    auto S = Open(C.URL, "instance-a");
    const auto Message = MessageOf([&] { EXPECT_FALSE(S->Load("s1")); });
    if (C.Failure.empty())
      EXPECT_EQ(Message, "(nothing raised)");
    else
      EXPECT_EQ(Message, "Session store " + Redis.HostPort() + ": " + C.Failure);
    EXPECT_EQ(S->Reachable(), C.Failure.empty()) << C.URL;
  }
}

TEST(SessionStoreURL, ReadsHostPortPasswordAndDatabase) {
  const struct {
    std::string URL, Host;
    int Port;
    std::string Password;
    int Database;
    std::string Name;
  } Cases[] = {
      {"redis://127.0.0.1:6379", "127.0.0.1", 6379, "", 0, "127.0.0.1:6379"},
      {"redis://:pw@cache.internal:6380/3", "cache.internal", 6380, "pw", 3, "cache.internal:6380"},
      {"redis://:p%40ss%2Fw%25@h:1/0", "h", 1, "p@ss/w%", 0, "h:1"},
      {"redis://:a@b/c@h:65535", "h", 65535, "a@b/c", 0, "h:65535"},
      {"redis://[::1]:6379/15", "::1", 6379, "", 15, "[::1]:6379"},
  };
  for (const auto& C : Cases) {
    const auto A = detail::ParseStoreURL(C.URL);
    EXPECT_EQ(A.Host, C.Host) << C.URL;
    EXPECT_EQ(A.Port, C.Port) << C.URL;
    EXPECT_EQ(A.Password, C.Password) << C.URL;
    EXPECT_EQ(A.Database, C.Database) << C.URL;
    EXPECT_EQ(A.Name(), C.Name) << C.URL;
  }
}

TEST(SessionStoreURL, RefusesAnythingElseWithoutQuotingThePassword) {
  const std::pair<std::string, std::string> Cases[] = {
      {"http://:hunter2@h:1", "scheme \"http\" is not supported, only redis"},
      {"rediss://h:6379", "scheme \"rediss\" is not supported, only redis"},
      {"127.0.0.1:6379", "no scheme"},
      {"redis://:hunter2@h", "no port: write host:port, e.g. redis://127.0.0.1:6379"},
      {"redis://h:", "no port: write host:port, e.g. redis://127.0.0.1:6379"},
      {"redis://h:0", "bad port \"0\" (1 to 65535)"},
      {"redis://h:65536", "bad port \"65536\" (1 to 65535)"},
      {"redis://h:63x9", "bad port \"63x9\" (1 to 65535)"},
      {"redis://:6379", "no host"},
      {"redis://h:1/", "bad db \"\" (a database number, e.g. /0)"},
      {"redis://:hunter2@h:1/x", "bad db \"x\" (a database number, e.g. /0)"},
      {"redis://h:1/0?timeout=1", "bad db \"0?timeout=1\" (a database number, e.g. /0)"},
      {"redis://user:hunter2@h:1",
       "a user name is not supported; the password follows a colon, redis://:password@"},
      {"redis://:@h:1", "empty password"},
      {"redis://:hunter2%4@h:1", "malformed percent escape in the password"},
      {"redis://::1:6379", "an IPv6 address goes in brackets, e.g. redis://[::1]:6379"},
      {"redis://[::1:6379", "unclosed '[' in the host"},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(
        MessageOf([&] { OpenSessionStore(Case.first, {}); }),
        "Session store URL: " + Case.second + " (expected redis://[:password@]host:port[/db])");
  EXPECT_EQ(MessageOf([] {
              OpenSessionStore("redis://h:1", {0ms, "a", 8});
            }),
            "Session store: the time-out must be positive, not 0 ms");
  EXPECT_EQ(MessageOf([] {
              OpenSessionStore("redis://h:1", {250ms, "a", 0});
            }),
            "Session store: at least one connection is needed, not 0");
  auto S = OpenSessionStore("redis://h:1", {});
  EXPECT_EQ(MessageOf([&] { S->ClaimFlow("f", "s", -1ms); }),
            "Session store: ClaimFlow: the time to live must be positive, not -1 ms");
}

}  // namespace
}  // namespace zelk::web::store
