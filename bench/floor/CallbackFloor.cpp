// The floor of a complete sign-in callback: what the two provider calls of a callback cost on
// their own, with nothing of a web server around them. A bare libcurl loop per thread does,
// for each callback, the token request (POST of a code with the simulator's load-test prefix)
// and the profile request (GET with the token), each on a new handle and a new verified TLS
// connection without session resumption, as the demo's transport does. The trust store (the
// system bundle plus the simulator's CA) is built once and shared by every connection.
//
//   zelk_bench_callback_floor GOOGLE_BASE_URL CA_FILE [SECONDS [THREADS [CODE_PREFIX]]]
//
// GOOGLE_BASE_URL is the simulator's Google listener ("https://127.0.0.1:40123"), CA_FILE its
// CA certificate (zelk-sim's ZELK_EXTRA_CA_CERTIFICATES); zelk-sim must run with
// --pre-approved-codes and CODE_PREFIX must start with that prefix (default "bench-floor-").
// Defaults: 10 seconds, 2 threads. Prints the callbacks completed, the CPU time this process
// took for them, and "floor_callbacks_per_s"; exits 1 when any call failed or was refused.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/support/BareCurl.h"
#include "core/IWZelkAuthBase.h"

namespace {

using zelk::IWZelkAuthBase::URLEncode;

using zelk::bench::TEasy;
using zelk::bench::TStore;

// libcurl's process-wide state, for as long as main runs.
class TCurlGlobal {
 public:
  TCurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw std::runtime_error("libcurl cannot start");
  }
  ~TCurlGlobal() { curl_global_cleanup(); }
  TCurlGlobal(const TCurlGlobal&) = delete;
  TCurlGlobal& operator=(const TCurlGlobal&) = delete;
};

TStore LoadStore(const std::string& CAFile) {
  TStore Store(X509_STORE_new());
  if (!Store || X509_STORE_load_file(Store.get(), X509_get_default_cert_file()) != 1)
    throw std::runtime_error("cannot load the system CA bundle " +
                             std::string(X509_get_default_cert_file()));
  if (X509_STORE_load_file(Store.get(), CAFile.c_str()) != 1)
    throw std::runtime_error("cannot load the simulator's CA certificate from " + CAFile);
  return Store;
}

std::size_t Collect(char* Data, std::size_t Size, std::size_t Count, void* Body) noexcept {
  static_cast<std::string*>(Body)->append(Data, Size * Count);
  return Size * Count;
}

// One request on a new handle and connection. PostBody null: GET. Returns the HTTP status (0
// when the transfer failed; Error then says why).
long Call(const std::string& URL, const std::string* PostBody, X509_STORE* Store, std::string& Body,
          std::string& Error) {
  TEasy Easy(curl_easy_init());
  if (!Easy) {
    Error = "curl_easy_init failed";
    return 0;
  }
  CURL* E = Easy.get();
  char Message[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(E, CURLOPT_ERRORBUFFER, Message);
  zelk::bench::SetFreshVerifiedCall(E, URL, Store);
  curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(E, CURLOPT_WRITEDATA, &Body);
  curl_easy_setopt(E, CURLOPT_TIMEOUT_MS, 10000L);
  if (PostBody != nullptr) {
    curl_easy_setopt(E, CURLOPT_POSTFIELDS, PostBody->c_str());
    curl_easy_setopt(E, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(PostBody->size()));
  }
  const CURLcode Result = curl_easy_perform(E);
  if (Result != CURLE_OK) {
    Error = Message[0] != '\0' ? Message : curl_easy_strerror(Result);
    return 0;
  }
  long Status = 0;
  curl_easy_getinfo(E, CURLINFO_RESPONSE_CODE, &Status);
  return Status;
}

// What the threads share: the store, the counts and the first failure.
struct TRun {
  std::string Base;
  std::string CodePrefix;
  X509_STORE* Store = nullptr;
  std::chrono::steady_clock::time_point End;
  std::atomic<long> Completed{0};
  std::atomic<long> Failed{0};
  std::mutex FirstFailureMutex;
  std::string FirstFailure;

  void Fail(const std::string& What) {
    ++Failed;
    std::lock_guard L(FirstFailureMutex);
    if (FirstFailure.empty()) FirstFailure = What;
  }
};

void Loop(TRun& Run, int Thread) {
  // The same return address, client and secret as the demo's token request.
  const std::string Fixed =
      "&client_id=google-client-id.apps.googleusercontent.test&client_secret=google-secret"
      "&redirect_uri=" +
      URLEncode("http://127.0.0.1:8080/") + "&grant_type=authorization_code";
  for (long N = 1; std::chrono::steady_clock::now() < Run.End; ++N) {
    const std::string Post =
        "code=" + URLEncode(Run.CodePrefix + std::to_string(Thread) + "-" + std::to_string(N)) +
        Fixed;
    std::string Body;
    std::string Error;
    long Status = Call(Run.Base + "/o/oauth2/token", &Post, Run.Store, Body, Error);
    const auto Token = nlohmann::json::parse(Body, nullptr, false);
    if (Status != 200 || !Token.is_object() || !Token.contains("access_token") ||
        !Token["access_token"].is_string()) {
      Run.Fail("token request: " + (Status == 0 ? Error : std::to_string(Status) + " " + Body));
      continue;
    }
    Body.clear();
    Status = Call(Run.Base + "/oauth2/v1/userinfo?access_token=" +
                      URLEncode(Token["access_token"].get<std::string>()),
                  nullptr, Run.Store, Body, Error);
    const auto Profile = nlohmann::json::parse(Body, nullptr, false);
    if (Status != 200 || !Profile.is_object() || !Profile.contains("id")) {
      Run.Fail("profile request: " + (Status == 0 ? Error : std::to_string(Status) + " " + Body));
      continue;
    }
    ++Run.Completed;
  }
}

int Main(int Argc, char** Argv) {
  if (Argc < 3 || Argc > 6) {
    std::cerr << "usage: zelk_bench_callback_floor GOOGLE_BASE_URL CA_FILE [SECONDS [THREADS "
                 "[CODE_PREFIX]]]\n";
    return 2;
  }
  double Seconds = 10.0;
  int Threads = 2;
  try {
    if (Argc > 3) Seconds = std::stod(Argv[3]);
    if (Argc > 4) Threads = std::stoi(Argv[4]);
  } catch (const std::logic_error&) {
    Seconds = 0;
  }
  if (!(Seconds > 0) || Threads < 1) {
    std::cerr << "zelk_bench_callback_floor: SECONDS and THREADS must be positive\n";
    return 2;
  }
  const TCurlGlobal Curl;
  const TStore Store = LoadStore(Argv[2]);
  TRun Run;
  Run.Base = Argv[1];
  Run.CodePrefix = Argc > 5 ? Argv[5] : "bench-floor-";
  Run.Store = Store.get();
  const auto Start = std::chrono::steady_clock::now();
  Run.End = Start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(Seconds));
  std::vector<std::thread> Workers;
  for (int T = 1; T <= Threads; ++T)
    Workers.emplace_back([&Run, T] { Loop(Run, T); });
  for (auto& W : Workers)
    W.join();
  const double Elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();

  std::printf(
      "floor: %d threads, %.2f s, callbacks %ld (token + profile, each on a new TLS "
      "connection), failed %ld\n",
      Threads, Elapsed, Run.Completed.load(), Run.Failed.load());
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  const double Cpu = static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
                     static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
  std::printf("floor_cpu_ms_per_callback %.3f (%.2f s of CPU in this process)\n",
              Run.Completed > 0 ? Cpu * 1000 / static_cast<double>(Run.Completed) : 0.0, Cpu);
  std::printf("floor_callbacks_per_s %.1f\n", static_cast<double>(Run.Completed) / Elapsed);
  if (Run.Failed > 0) {
    std::printf("FAILED: %ld callbacks; the first: %s\n", Run.Failed.load(),
                Run.FirstFailure.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  try {
    return Main(Argc, Argv);
  } catch (const std::exception& E) {
    std::cerr << "zelk_bench_callback_floor: " << E.what() << "\n";
    return 1;
  }
}
