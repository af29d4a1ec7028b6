// zelk_bench_memory: the heap cost of an idle demo session with its clients, and of one
// registry entry, measured with a counting allocator (every operator new and delete of the
// process goes through the counters below), not estimated.
//
//   zelk_bench_memory [FORM_FILE]
//
// 1. Counts the live heap bytes (the usable size of each block malloc hands out).
// 2. Makes N sessions as the demo server does for a new browser: an application object and
//    the demo form with every client loaded from the form file. Idle session = the growth / N.
// 3. Adds N registry entries (client, identifier) to a controller. Entry = the growth / N.
// 4. Starts a Google sign-in in each session (Login: a registry entry, the flow's state and the
//    redirect address): the growth / N is what a session waiting for its provider adds.
// 5. The size of a session's saved state (web::WriteSessionState as JSON text) when idle and
//    when waiting for Google: what a session store holds per session, before sealing.
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "design/IWZelkAuthReg.h"
#include "examples/demo/DemoForm.h"
#include "platform/rtl/FormFile.h"
#include "platform/web/IWApplication.h"
#include "platform/web/SessionState.h"
#include "sim/AllProviders.h"
#include "sim/Simulator.h"

namespace {

std::atomic<long long> GLiveBytes{0};

void* Counted(void* P) {
  if (P == nullptr) throw std::bad_alloc();
  GLiveBytes.fetch_add(static_cast<long long>(malloc_usable_size(P)), std::memory_order_relaxed);
  return P;
}

void Uncounted(void* P) noexcept {
  if (P == nullptr) return;
  GLiveBytes.fetch_sub(static_cast<long long>(malloc_usable_size(P)), std::memory_order_relaxed);
  std::free(P);
}

void* AlignedCounted(std::size_t N, std::align_val_t A) {
  const auto Align = static_cast<std::size_t>(A);
  return Counted(std::aligned_alloc(Align, (N + Align - 1) / Align * Align));
}

}  // namespace

void* operator new(std::size_t N) {
  return Counted(std::malloc(N == 0 ? 1 : N));
}
void* operator new[](std::size_t N) {
  return Counted(std::malloc(N == 0 ? 1 : N));
}
void* operator new(std::size_t N, std::align_val_t A) {
  return AlignedCounted(N, A);
}
void* operator new[](std::size_t N, std::align_val_t A) {
  return AlignedCounted(N, A);
}
void operator delete(void* P) noexcept {
  Uncounted(P);
}
void operator delete[](void* P) noexcept {
  Uncounted(P);
}
void operator delete(void* P, std::size_t) noexcept {
  Uncounted(P);
}
void operator delete[](void* P, std::size_t) noexcept {
  Uncounted(P);
}
void operator delete(void* P, std::align_val_t) noexcept {
  Uncounted(P);
}
void operator delete[](void* P, std::align_val_t) noexcept {
  Uncounted(P);
}
void operator delete(void* P, std::size_t, std::align_val_t) noexcept {
  Uncounted(P);
}
void operator delete[](void* P, std::size_t, std::align_val_t) noexcept {
  Uncounted(P);
}

namespace {

using namespace zelk;

constexpr int kN = 1000;

std::string ReadFile(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) throw rtl::Exception("cannot read \"" + Name + "\"");
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

int Run(const std::string& FormFile) {
  IWZelkAuthReg::RegisterClasses();
  sim::Simulator Sim;  // not started: its providers give the demo's credentials
  const auto Providers = sim::InstallAllProviders(Sim);
  IWZelkAuthBase::TZIWAuthServerController Controller(nullptr);
  demo::TDemoSetup Setup;
  Setup.Form = rtl::ParseForm(ReadFile(FormFile), FormFile);
  Setup.FormName = FormFile;
  Setup.Controller = &Controller;
  Setup.Credentials = &Providers->Credentials();
  // A first session outside the count: one-time caches (class registry, locale) stay out.
  {
    web::TIWApplication Warm(nullptr, "http://127.0.0.1:8080/", "warm");
    new demo::TDemoForm(&Warm, Setup);
  }

  std::vector<std::unique_ptr<web::TIWApplication>> Sessions;
  Sessions.reserve(kN);
  const long long Before = GLiveBytes.load();
  for (int I = 0; I < kN; ++I) {
    auto App = std::make_unique<web::TIWApplication>(nullptr, "http://127.0.0.1:8080/",
                                                     IWZelkAuthBase::CreateGuid().substr(1, 36));
    new demo::TDemoForm(App.get(), Setup);  // owned by the application
    Sessions.push_back(std::move(App));
  }
  const long long Idle = (GLiveBytes.load() - Before) / kN;

  IWZelkAuthBase::TZIWAuthServerController Registry(nullptr);
  IWGAuthClient::TZIWGAuthClient Client(nullptr);
  std::vector<std::string> Ids;
  Ids.reserve(kN * 10);
  for (int I = 0; I < kN * 10; ++I)
    Ids.push_back(IWZelkAuthBase::CreateGuid().substr(1, 36));
  long long EntryBytes = 0;
  {
    auto Lock = Registry.LockClients();
    Registry.Clients()->Add()->SetID("warm");  // the collection's first growth stays out
    const long long B = GLiveBytes.load();
    for (const std::string& Id : Ids) {
      IWZelkAuthBase::TAuthClient* E = Registry.Clients()->Add();
      E->SetClient(&Client);
      E->SetID(Id);
    }
    EntryBytes = (GLiveBytes.load() - B) / (kN * 10);
  }

  const std::size_t IdleState = web::WriteSessionState(*Sessions.front()).dump().size();
  const long long BeforeLogin = GLiveBytes.load();
  for (auto& App : Sessions) {
    auto* Form = static_cast<demo::TDemoForm*>(App->FindComponent(demo::TDemoForm::kName));
    if (Form == nullptr) throw rtl::Exception("the session has no demo form");
    Form->SignIn(demo::dfGoogle);
    if (App->RedirectURL().empty()) throw rtl::Exception("the sign-in did not redirect");
  }
  const long long Waiting = (GLiveBytes.load() - BeforeLogin) / kN;

  std::printf("state_bytes idle %zu, waiting for Google %zu (target 8192)\n", IdleState,
              web::WriteSessionState(*Sessions.front()).dump().size());
  std::printf("idle_session_bytes %lld (target 16384, ratio %.2f)\n", Idle, Idle / 16384.0);
  std::printf("registry_entry_bytes %lld (target 256, ratio %.2f)\n", EntryBytes,
              EntryBytes / 256.0);
  std::printf("google_login_adds_bytes %lld (entry, state and redirect address per session)\n",
              Waiting);
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  try {
    return Run(Argc > 1 ? Argv[1] : ZELK_DEMO_SOURCE_FORM);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "zelk_bench_memory: %s\n", E.what());
    return 1;
  }
}
