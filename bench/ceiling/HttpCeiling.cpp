// zelk_bench_ceiling: the most the HTTP layer alone can serve on this machine. A server on the
// same HTTP library, with the same options as the demo's (64 threads, 1,000 requests per kept
// connection, TCP_NODELAY, the system's listen queue), whose only page answers the sign-in POST
// with a fixed redirect and session cookie of the demo's sizes: no session, no components, no
// Login. The load script runs it beside the demo, so the demo's figure can be read against what is
// left for its own work.
//
//   zelk_bench_ceiling       prints "Listening on http://127.0.0.1:<port>/" and serves until
//                            SIGINT or SIGTERM
#include <httplib.h>
#include <signal.h>

#include <iostream>
#include <string>
#include <thread>

int main() {
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  // Blocked before any thread starts, so only the waiting thread below takes them.
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  httplib::Server Server;
  Server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  Server.set_keep_alive_max_count(1000);
  Server.set_tcp_nodelay(true);
  // The lengths of the demo's redirect to the provider and of its session cookie.
  const std::string Location = "https://127.0.0.1:40000/" + std::string(319, 'x');
  const std::string Cookie =
      "zelk_session=" + std::string(64, 'a') + "; Path=/; HttpOnly; SameSite=Lax";
  Server.Post("/google/login", [&](const httplib::Request&, httplib::Response& Res) {
    Res.status = 303;
    Res.set_header("Location", Location);
    Res.set_header("Cache-Control", "no-store");
    Res.set_header("Set-Cookie", Cookie);
    Res.set_header("X-Content-Type-Options", "nosniff");
    Res.set_content("<!DOCTYPE html>\n<html><body><p><a href=\"" + Location +
                        "\">Continue</a></p></body></html>\n",
                    "text/html; charset=utf-8");
  });
  int ListenSocket = -1;
  Server.set_socket_options([&ListenSocket](socket_t Socket) {
    const int Yes = 1;
    setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
    ListenSocket = Socket;
  });
  const int Port = Server.bind_to_any_port("127.0.0.1");
  if (Port <= 0) {
    std::cerr << "zelk_bench_ceiling: cannot listen on 127.0.0.1\n";
    return 1;
  }
  ::listen(ListenSocket, SOMAXCONN);  // as the demo's server does
  std::thread Listener([&] { Server.listen_after_bind(); });
  while (!Server.is_running())
    std::this_thread::yield();
  std::cout << "Listening on http://127.0.0.1:" << Port << "/" << std::endl;
  int Signal = 0;
  sigwait(&Stop, &Signal);
  Server.stop();
  Listener.join();
  return 0;
}
