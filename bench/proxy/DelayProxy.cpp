// A TCP proxy that puts a fixed delay on the wire: every chunk read from one side is written to
// the other Delay milliseconds after it arrived, in both directions, as if the target were that
// far away. Chunks are not held behind each other (a second chunk that arrives 1 ms after the
// first leaves 1 ms after it), a half-close is passed on after the same delay, and each
// direction buffers at most 1 MiB before it stops reading (the sender then waits, as on a real
// link). The TCP handshake itself is not delayed: the client's connection is accepted at once.
//
//   zelk_bench_delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
//
// Listens on 127.0.0.1:LISTEN_PORT (0: a free port) and prints
// "Listening on 127.0.0.1:<port>" once it accepts connections. Runs until SIGINT or SIGTERM.
// Loopback use in benchmarks only: it trusts both ends and keeps no limits on connections.
#include <boost/asio.hpp>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

constexpr std::size_t kReadSize = 16384;
constexpr std::size_t kMaxQueued = std::size_t{1} << 20;

// One proxied connection: the client's socket, the target's socket and a direction for each
// way. Handlers hold it alive through shared_from_this; it ends when both directions have
// passed on their end, or at the first error (both sockets are then closed).
class TConnection : public std::enable_shared_from_this<TConnection> {
 public:
  TConnection(tcp::socket Client, asio::io_context& Io, std::chrono::milliseconds Delay)
      : FClient(std::move(Client)),
        FTarget(Io),
        FDelay(Delay),
        FUp(FClient, FTarget, Io),
        FDown(FTarget, FClient, Io) {}

  void Start(const tcp::endpoint& Target) {
    FTarget.async_connect(Target, [Self = shared_from_this()](const ErrorCode& E) {
      if (E) {
        std::cerr << "delay proxy: cannot reach the target: " << E.message() << "\n";
        Self->Fail();
        return;
      }
      const asio::ip::tcp::no_delay NoDelay(true);
      ErrorCode Ignored;
      Self->FClient.set_option(NoDelay, Ignored);
      Self->FTarget.set_option(NoDelay, Ignored);
      Self->Read(Self->FUp);
      Self->Read(Self->FDown);
    });
  }

 private:
  struct TChunk {
    Clock::time_point Due;
    std::vector<char> Bytes;  // empty: the sender's end, to be passed on as a half-close
  };
  struct TDirection {
    TDirection(tcp::socket& From, tcp::socket& To, asio::io_context& Io)
        : From(From), To(To), Timer(Io) {}
    tcp::socket& From;
    tcp::socket& To;
    asio::steady_timer Timer;
    std::deque<TChunk> Queue;
    std::size_t Queued = 0;
    bool Reading = false;
    bool Writing = false;
    bool Ended = false;  // the end was read
    bool Done = false;   // the end was passed on
    std::vector<char> Buffer = std::vector<char>(kReadSize);
  };

  void Read(TDirection& D) {
    if (D.Reading || D.Ended || D.Queued >= kMaxQueued) return;
    D.Reading = true;
    D.From.async_read_some(
        asio::buffer(D.Buffer), [Self = shared_from_this(), &D](const ErrorCode& E, std::size_t N) {
          D.Reading = false;
          if (E && E != asio::error::eof) {
            Self->Fail();
            return;
          }
          TChunk C{Clock::now() + Self->FDelay, {}};
          if (E == asio::error::eof) {
            D.Ended = true;
          } else {
            C.Bytes.assign(D.Buffer.begin(), D.Buffer.begin() + static_cast<std::ptrdiff_t>(N));
            D.Queued += N;
          }
          D.Queue.push_back(std::move(C));
          Self->Write(D);
          Self->Read(D);
        });
  }

  void Write(TDirection& D) {
    if (D.Writing || D.Queue.empty() || FFailed) return;
    D.Writing = true;
    D.Timer.expires_at(D.Queue.front().Due);
    D.Timer.async_wait([Self = shared_from_this(), &D](const ErrorCode& E) {
      if (E || Self->FFailed) {
        D.Writing = false;
        return;
      }
      TChunk& C = D.Queue.front();
      if (C.Bytes.empty()) {
        ErrorCode Ignored;
        D.To.shutdown(tcp::socket::shutdown_send, Ignored);
        D.Queue.pop_front();
        D.Writing = false;
        D.Done = true;
        if (Self->FUp.Done && Self->FDown.Done) Self->Close();
        return;
      }
      asio::async_write(D.To, asio::buffer(C.Bytes),
                        [Self, &D](const ErrorCode& WriteError, std::size_t N) {
                          D.Writing = false;
                          if (WriteError) {
                            Self->Fail();
                            return;
                          }
                          D.Queued -= N;
                          D.Queue.pop_front();
                          Self->Write(D);
                          Self->Read(D);
                        });
    });
  }

  void Fail() {
    FFailed = true;
    Close();
  }
  void Close() {
    ErrorCode Ignored;
    FUp.Timer.cancel();
    FDown.Timer.cancel();
    FClient.close(Ignored);
    FTarget.close(Ignored);
  }

  tcp::socket FClient;
  tcp::socket FTarget;
  std::chrono::milliseconds FDelay;
  TDirection FUp;    // client to target
  TDirection FDown;  // target to client
  bool FFailed = false;
};

void Accept(tcp::acceptor& Acceptor, asio::io_context& Io, const tcp::endpoint& Target,
            std::chrono::milliseconds Delay) {
  Acceptor.async_accept([&Acceptor, &Io, Target, Delay](const ErrorCode& E, tcp::socket Client) {
    if (E == asio::error::operation_aborted) return;
    if (!E) std::make_shared<TConnection>(std::move(Client), Io, Delay)->Start(Target);
    Accept(Acceptor, Io, Target, Delay);
  });
}

int Number(const char* Text, const char* What, long Max) {
  char* End = nullptr;
  const long N = std::strtol(Text, &End, 10);
  if (End == Text || *End != '\0' || N < 0 || N > Max) {
    std::cerr << "delay proxy: " << What << " must be a number from 0 to " << Max << ", not \""
              << Text << "\"\n";
    std::exit(2);
  }
  return static_cast<int>(N);
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc != 5) {
    std::cerr << "usage: zelk_bench_delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS\n";
    return 2;
  }
  const int ListenPort = Number(Argv[1], "LISTEN_PORT", 65535);
  const int TargetPort = Number(Argv[3], "TARGET_PORT", 65535);
  const std::chrono::milliseconds Delay(Number(Argv[4], "DELAY_MS", 60000));
  try {
    asio::io_context Io(1);
    tcp::resolver Resolver(Io);
    const tcp::endpoint Target =
        *Resolver.resolve(Argv[2], std::to_string(TargetPort), tcp::resolver::numeric_service)
             .begin();
    tcp::acceptor Acceptor(Io);
    const tcp::endpoint Listen(asio::ip::make_address("127.0.0.1"),
                               static_cast<unsigned short>(ListenPort));
    Acceptor.open(Listen.protocol());
    Acceptor.set_option(tcp::acceptor::reuse_address(true));
    Acceptor.bind(Listen);
    Acceptor.listen(asio::socket_base::max_listen_connections);
    Accept(Acceptor, Io, Target, Delay);
    asio::signal_set Signals(Io, SIGINT, SIGTERM);
    Signals.async_wait([&](const ErrorCode&, int) {
      ErrorCode Ignored;
      Acceptor.close(Ignored);
      Io.stop();
    });
    std::cout << "Listening on 127.0.0.1:" << Acceptor.local_endpoint().port() << std::endl;
    Io.run();
  } catch (const std::exception& E) {
    std::cerr << "delay proxy: " << E.what() << "\n";
    return 1;
  }
  return 0;
}
