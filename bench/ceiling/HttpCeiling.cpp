// zelk_bench_ceiling: the most the HTTP layer alone can serve on this machine. A server on the
// same HTTP engine, with the same options as the demo's (its worker and event-loop threads,
// 1,000 requests per kept connection, the system's listen queue), that answers the page with a
// fixed page and session cookie, and the sign-in POST with a fixed redirect, of the demo's
// sizes: no session, no components, no Login. The load script runs it beside the demo, so the
// demo's figure can be read against what is left for its own work.
//
//   zelk_bench_ceiling       prints "Listening on http://127.0.0.1:<port>/" and serves until
//                            SIGINT or SIGTERM
#include <signal.h>

#include <iostream>
#include <string>

#include "platform/web/engine/HttpEngine.h"
#include "platform/web/server/IWServer.h"

using namespace zelk::web;

int main() {
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  // Blocked before any thread starts, so only the waiting thread below takes them.
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  const TIWServerOptions Demo;
  engine::TEngineOptions O;
  O.Port = 0;
  O.WorkerCount = Demo.WorkerCount;
  O.IoThreadCount = Demo.IoThreadCount;
  O.KeepAliveMaxCount = Demo.KeepAliveMaxCount;
  // The lengths of the demo's redirect to the provider and of its session cookie.
  const std::string Location = "https://127.0.0.1:40000/" + std::string(319, 'x');
  const std::string Cookie =
      "zelk_session=" + std::string(64, 'a') + "; Path=/; HttpOnly; SameSite=Lax";
  // The demo's start page, with its sign-in forms, is about 5.4 KB.
  const std::string Page =
      "<!DOCTYPE html>\n<html><body>" + std::string(5360, 'x') + "</body></html>\n";
  engine::THttpEngine Server(O, [&](const engine::TEngineRequest& R, engine::TEngineResponse& Res,
                                    engine::TEngineConnection&) {
    if (R.Method == "GET" && R.Target == "/") {
      Res.Status = 200;
      Res.Headers = {{"Cache-Control", "no-store"},
                     {"Set-Cookie", Cookie},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Content-Type", "text/html; charset=utf-8"}};
      Res.Body = Page;
      return;
    }
    if (R.Method != "POST" || R.Target != "/google/login") {
      Res.Status = 404;
      return;
    }
    Res.Status = 303;
    Res.Headers = {{"Location", Location},
                   {"Cache-Control", "no-store"},
                   {"Set-Cookie", Cookie},
                   {"X-Content-Type-Options", "nosniff"},
                   {"Content-Type", "text/html; charset=utf-8"}};
    Res.Body = "<!DOCTYPE html>\n<html><body><p><a href=\"" + Location +
               "\">Continue</a></p></body></html>\n";
  });
  try {
    Server.Start();
  } catch (const std::exception& E) {
    std::cerr << "zelk_bench_ceiling: cannot listen on 127.0.0.1: " << E.what() << "\n";
    return 1;
  }
  std::cout << "Listening on http://127.0.0.1:" << Server.Port() << "/" << std::endl;
  int Signal = 0;
  sigwait(&Stop, &Signal);
  Server.Stop();
  return 0;
}
