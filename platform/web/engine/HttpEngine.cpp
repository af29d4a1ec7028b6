#include "platform/web/engine/HttpEngine.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/rtl/StringList.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/engine/HeadScanner.h"

namespace zelk::web::engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Whether the comma-separated list Value holds Token (letter case ignored).
bool ListHas(std::string_view Value, std::string_view Token) {
  while (!Value.empty()) {
    const auto Comma = Value.find(',');
    std::string_view Item = Value.substr(0, Comma);
    while (!Item.empty() && (Item.front() == ' ' || Item.front() == '\t'))
      Item.remove_prefix(1);
    while (!Item.empty() && (Item.back() == ' ' || Item.back() == '\t'))
      Item.remove_suffix(1);
    if (rtl::SameText(Item, Token)) return true;
    if (Comma == std::string_view::npos) break;
    Value.remove_prefix(Comma + 1);
  }
  return false;
}

TEngineResponse PlainErrorPage(int Status, const std::string& Message) {
  TEngineResponse R;
  R.Status = Status;
  R.Headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  R.Body = Message + "\n";
  return R;
}

// Runs jobs on a fixed set of threads, in the order they were posted.
class TWorkerPool {
 public:
  void Start(int Count) {
    for (int I = 0; I < Count; ++I)
      FThreads.emplace_back([this] { Run(); });
  }
  void Post(std::function<void()> Job) {
    {
      std::lock_guard L(FMutex);
      if (FStopping) return;
      FJobs.push_back(std::move(Job));
    }
    FWake.notify_one();
  }
  // Waits for the jobs in progress; those still queued are dropped.
  void Stop() {
    {
      std::lock_guard L(FMutex);
      FStopping = true;
      FJobs.clear();
    }
    FWake.notify_all();
    for (auto& T : FThreads)
      if (T.joinable()) T.join();
    FThreads.clear();
  }

 private:
  void Run() {
    for (;;) {
      std::function<void()> Job;
      {
        std::unique_lock L(FMutex);
        FWake.wait(L, [this] { return FStopping || !FJobs.empty(); });
        if (FStopping) return;
        Job = std::move(FJobs.front());
        FJobs.pop_front();
      }
      Job();
    }
  }

  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FJobs;
  std::vector<std::thread> FThreads;
  bool FStopping = false;
};

// How long a refused connection may go on sending before it is closed: the client then reads
// its answer instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = std::size_t{1} << 20;
constexpr std::size_t kReadChunk = 8192;
// A chunk line of a chunked body (its size and extensions, without the line end). Beast takes
// a chunk line only once it is whole, so this bounds what one unfinished line holds.
constexpr std::size_t kMaxChunkLineBytes = 4096;
// What the chunk lines, their line ends and the trailer may add to MaxBodyBytes on the wire.
constexpr std::size_t kChunkFramingBytes = std::size_t{64} << 10;

// Hexadecimal digits of Size written without leading zeros.
std::size_t HexDigits(std::uint64_t Size) {
  std::size_t N = 1;
  while (Size >>= 4)
    ++N;
  return N;
}

}  // namespace

std::string TEngineRequest::Header(std::string_view Name) const {
  for (const auto& [N, V] : Headers)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

std::string ReasonPhrase(int Status) {
  const auto R = http::obsolete_reason(static_cast<http::status>(Status));
  return R.empty() || R == "<unknown-status>" ? std::string("Status") : std::string(R);
}

struct THttpEngine::TImpl : std::enable_shared_from_this<THttpEngine::TImpl> {
  TImpl(TEngineOptions AOptions, TEngineHandler AHandler, TEngineErrorPage AErrorPage)
      : Options(std::move(AOptions)),
        Handler(std::move(AHandler)),
        ErrorPage(AErrorPage ? std::move(AErrorPage) : TEngineErrorPage(PlainErrorPage)) {}

  TEngineOptions Options;
  TEngineHandler Handler;
  TEngineErrorPage ErrorPage;

  // Connection counts: declared before the event loop, which is destroyed first and with it
  // every connection that still holds a count.
  mutable std::mutex CountMutex;
  std::unordered_map<std::string, std::size_t> PerAddress;
  std::size_t Total = 0;
  std::atomic<std::uint64_t> Accepted{0};
  std::atomic<std::uint64_t> Handshakes{0};
  std::atomic<std::uint64_t> Resumed{0};

  TWorkerPool Workers;
  std::optional<asio::ssl::context> Tls;
  std::unique_ptr<asio::io_context> Io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::optional<tcp::acceptor> Acceptor;
  std::vector<std::thread> IoThreads;
  std::atomic<int> BoundPort{0};
  std::atomic<bool> Stopping{false};
  std::mutex Lifecycle;
  bool Started = false;
  bool Stopped = false;

  bool TakeSlot(const std::string& Address) {
    std::lock_guard L(CountMutex);
    auto& Mine = PerAddress[Address];
    const bool Capped =
        std::find(Options.UncappedAddresses.begin(), Options.UncappedAddresses.end(), Address) ==
        Options.UncappedAddresses.end();
    if (Total >= Options.MaxConnections || (Capped && Mine >= Options.MaxConnectionsPerAddress)) {
      if (Mine == 0) PerAddress.erase(Address);
      return false;
    }
    ++Mine;
    ++Total;
    return true;
  }
  void ReleaseSlot(const std::string& Address) {
    std::lock_guard L(CountMutex);
    auto It = PerAddress.find(Address);
    if (It != PerAddress.end() && --It->second == 0) PerAddress.erase(It);
    --Total;
  }

  // Answers under way: from a worker taking a request until its answer is written (or its
  // connection gone). Stop lets them finish.
  std::mutex AnswerMutex;
  std::condition_variable AnswerDone;
  std::size_t Answering = 0;
  std::shared_ptr<void> AnswerGuard() {
    {
      std::lock_guard L(AnswerMutex);
      ++Answering;
    }
    return {nullptr, [this](void*) {
              {
                std::lock_guard L(AnswerMutex);
                --Answering;
              }
              AnswerDone.notify_all();
            }};
  }

  void SetUpTls();
  void Accept();
  void OnAccept(tcp::socket Socket);
  void Stop();
};

namespace {

enum class TPhase { Head, Body, Queue, Write, Linger };

// One connection over a plain socket or a TLS stream. Everything but WriteRaw and Reset runs on
// the connection's strand.
template <class TStream>
class TConnection : public std::enable_shared_from_this<TConnection<TStream>>,
                    public TEngineConnection {
 public:
  TConnection(THttpEngine::TImpl& Engine, TStream&& Stream, std::string Address)
      : E(Engine),
        S(std::move(Stream)),
        Timer(S.get_executor()),
        Scanner(THeadLimits{Engine.Options.MaxTargetBytes, Engine.Options.MaxLineBytes,
                            Engine.Options.MaxHeaderBytes, Engine.Options.MaxHeaderLines}),
        Address(std::move(Address)) {}
  ~TConnection() override { E.ReleaseSlot(Address); }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  void Begin() {
    Arm(E.Options.HeadTimeout, TPhase::Head);
    if constexpr (std::is_same_v<TStream, tcp::socket>) {
      ReadHead();
    } else {
      S.async_handshake(asio::ssl::stream_base::server,
                        [Self = this->shared_from_this()](const boost::system::error_code& Ec) {
                          if (Ec) return Self->Close();
                          ++Self->E.Handshakes;
                          Self->Resumed = SSL_session_reused(Self->S.native_handle()) == 1;
                          if (Self->Resumed) ++Self->E.Resumed;
                          Self->ReadHead();
                        });
    }
  }

  bool WriteRaw(std::string_view Bytes) override {
    Raw = true;
    auto Data = std::make_shared<std::string>(Bytes);
    auto Done = std::make_shared<std::promise<bool>>();
    auto Result = Done->get_future();
    asio::post(S.get_executor(), [Self = this->shared_from_this(), Data, Done] {
      if (Self->Closed) return Done->set_value(false);
      Self->Arm(Self->E.Options.WriteTimeout, TPhase::Write);
      asio::async_write(Self->S, asio::buffer(*Data),
                        [Self, Data, Done](const boost::system::error_code& Ec, std::size_t) {
                          Self->Timer.cancel();
                          if (Ec) Self->Close();
                          Done->set_value(!Ec);
                        });
    });
    try {
      return Result.get();
    } catch (const std::future_error&) {
      return false;  // the engine stopped
    }
  }

  void Reset() override {
    Raw = true;
    auto Done = std::make_shared<std::promise<void>>();
    auto Finished = Done->get_future();
    asio::post(S.get_executor(), [Self = this->shared_from_this(), Done] {
      boost::system::error_code Ec;
      auto& Socket = beast::get_lowest_layer(Self->S);
      // A zero linger time makes the close send a reset instead of a FIN.
      Socket.set_option(asio::socket_base::linger(true, 0), Ec);
      Self->Close();
      Done->set_value();
    });
    try {
      Finished.get();
    } catch (const std::future_error&) {
    }
  }

 private:
  void Arm(std::chrono::milliseconds After, TPhase Phase) {
    const unsigned Generation = ++TimerGeneration;
    Timer.expires_after(After);
    Timer.async_wait(
        [Self = this->shared_from_this(), Generation, Phase](const boost::system::error_code& Ec) {
          if (Ec || Generation != Self->TimerGeneration) return;
          Self->OnTimeout(Phase);
        });
  }

  void OnTimeout(TPhase Phase) {
    if (Phase == TPhase::Queue) {
      int Expected = 0;
      if (!Job->compare_exchange_strong(Expected, 2)) return;  // a worker has it
      return Refuse(503, "The server is too busy to serve the request now. Please try again.");
    }
    Close();
  }

  void Close() {
    Answer.reset();
    if (Closed) return;
    Closed = true;
    ++TimerGeneration;
    Timer.cancel();
    boost::system::error_code Ec;
    beast::get_lowest_layer(S).close(Ec);
  }

  std::string_view Pending() const {
    return {static_cast<const char*>(Buffer.data().data()), Buffer.size()};
  }

  void ReadHead() {
    Scanner.Reset();
    // A kept-alive connection may idle before the next request's first byte; its head then
    // has HeadTimeout from that byte.
    HeadStarted = Served == 0 || Buffer.size() > 0;
    if (Served > 0) {
      Arm(HeadStarted ? E.Options.HeadTimeout : E.Options.KeepAliveTimeout, TPhase::Head);
      // An idle connection keeps nothing of the request before.
      Request = TEngineRequest{};
      std::string().swap(Output);
      if (Buffer.size() == 0) Buffer.shrink_to_fit();
    }
    ScanOrRead();
  }

  void ScanOrRead() {
    if (Buffer.size() > 0) {
      if (!HeadStarted) {
        HeadStarted = true;
        Arm(E.Options.HeadTimeout, TPhase::Head);
      }
      switch (Scanner.Scan(Pending())) {
        case THeadScanner::TState::Complete:
          return OnHead();
        case THeadScanner::TState::Failed:
          return RefuseHead();
        case THeadScanner::TState::Incomplete:
          break;
      }
    }
    if constexpr (std::is_same_v<TStream, tcp::socket>) {
      // Nothing received yet: wait for the first bytes before taking a read buffer, so that an
      // idle connection holds none.
      if (Buffer.size() == 0 && !Readable) {
        S.async_wait(tcp::socket::wait_read,
                     [Self = this->shared_from_this()](const boost::system::error_code& Ec) {
                       if (Ec) return Self->Close();
                       Self->Readable = true;
                       Self->ScanOrRead();
                     });
        return;
      }
      Readable = false;
    }
    S.async_read_some(
        Buffer.prepare(kReadChunk),
        [Self = this->shared_from_this()](const boost::system::error_code& Ec, std::size_t N) {
          if (Ec) return Self->Close();
          Self->Buffer.commit(N);
          Self->ScanOrRead();
        });
  }

  void RefuseHead() {
    const std::string& Why = Scanner.Reason();
    switch (Scanner.Fault()) {
      case THeadFault::TargetTooLong:
        return Refuse(414, "Request refused: its address is too long. " + Why);
      case THeadFault::HeadTooLarge:
        return Refuse(431, "Request refused: its header lines are longer than " +
                               std::to_string(E.Options.MaxHeaderBytes) + " bytes together.");
      case THeadFault::TooManyLines:
        return Refuse(431, "Request refused: it has more than " +
                               std::to_string(E.Options.MaxHeaderLines) + " header lines.");
      default:
        return Refuse(400, "Bad request: the request could not be read. " + Why);
    }
  }

  void OnHead() {
    const TRequestHead& H = Scanner.Head();
    Request = TEngineRequest{};
    std::string_view Head = Pending().substr(0, Scanner.HeadLength());
    while (Head.starts_with("\r\n"))
      Head.remove_prefix(2);
    Request.RawHead = Head;
    Request.Method = H.Method;
    Request.Target = H.Target;
    Request.Version = H.Version;
    Request.Headers = H.Headers;
    Request.RemoteAddress = Address;
    boost::system::error_code Ec;
    const auto Local = beast::get_lowest_layer(S).local_endpoint(Ec);
    if (!Ec) {
      Request.LocalAddress = Local.address().to_string();
      Request.LocalPort = Local.port();
    }
    Request.TLS = !std::is_same_v<TStream, tcp::socket>;
    Request.ConnectionRequest = Served + 1;
    Request.TlsResumed = Resumed;
    Buffer.consume(Scanner.HeadLength());
    const std::string Connection = Request.Header("Connection");
    WantsKeepAlive =
        H.Version == "HTTP/1.1" ? !ListHas(Connection, "close") : ListHas(Connection, "keep-alive");
    if (!H.Chunked && (!H.HasContentLength || H.ContentLength == 0)) return Dispatch();
    if (H.HasContentLength && H.ContentLength > E.Options.MaxBodyBytes) return RefuseBody();
    // Beast reads the body: it is given a head with only the framing of this one.
    Parser.emplace();
    Parser->body_limit(E.Options.MaxBodyBytes);
    Parser->eager(true);
    Parser->on_chunk_header(OnChunkHeader);
    BodyWireBytes = 0;
    ChunkLineTooLong = false;
    const std::string Framing = "POST / HTTP/1.1\r\n" +
                                (H.Chunked ? std::string("Transfer-Encoding: chunked")
                                           : "Content-Length: " + std::to_string(H.ContentLength)) +
                                "\r\n\r\n";
    Parser->put(asio::buffer(Framing), Ec);
    if (Ec) return Refuse(400, "Bad request: the request could not be read.");
    Arm(E.Options.BodyTimeout, TPhase::Body);
    if (H.Version == "HTTP/1.1" && ListHas(Request.Header("Expect"), "100-continue")) {
      static const std::string Continue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(
          S, asio::buffer(Continue),
          [Self = this->shared_from_this()](const boost::system::error_code& Err, std::size_t) {
            if (Err) return Self->Close();
            Self->ReadBody();
          });
      return;
    }
    ReadBody();
  }

  // The body is read a piece at a time and given to Beast's parser, which decodes chunks as
  // they come and keeps none of the coded bytes but those of a chunk line or trailer not yet
  // whole: what is still held after each piece is checked against the limits, so that no line
  // or trailer without end is buffered. Bytes after the body stay for the next request.
  void ReadBody() {
    if (Buffer.size() > 0) return ParseBody();
    ReadMoreBody();
  }

  void ReadMoreBody() {
    S.async_read_some(
        Buffer.prepare(kReadChunk),
        [Self = this->shared_from_this()](const boost::system::error_code& Ec, std::size_t N) {
          // The client went away, or the body's time ran out.
          if (Ec || Self->Closed) return Self->Close();
          Self->Buffer.commit(N);
          Self->ParseBody();
        });
  }

  void ParseBody() {
    boost::system::error_code Ec;
    std::size_t Used = 0;
    do {
      Used = Parser->put(Buffer.data(), Ec);
      Buffer.consume(Used);
      BodyWireBytes += Used;
    } while (!Ec && !Parser->is_done() && Used > 0 && Buffer.size() > 0);
    if (ChunkLineTooLong) return RefuseChunkLine();
    if (Ec == http::error::body_limit) return RefuseBody();
    if (Ec && Ec != http::error::need_more)
      return Refuse(400,
                    "Bad request: the request could not be read. The body's chunked coding is "
                    "malformed.");
    const std::size_t MaxWire = E.Options.MaxBodyBytes + kChunkFramingBytes;
    if (Parser->is_done()) {
      if (BodyWireBytes > MaxWire) return RefuseFraming();
      if (Parser->chunked() && TrailerBytes() > E.Options.MaxHeaderBytes) return RefuseTrailer();
      Request.Body = std::move(Parser->get().body());
      Parser.reset();
      return Dispatch();
    }
    if (Parser->chunked()) {
      // Held: the line end of the chunk before, then a chunk line that has not ended, or the
      // last chunk's line and a trailer that has not ended.
      std::string_view Held = Pending();
      if (Held.starts_with("\r\n")) Held.remove_prefix(2);
      const std::size_t End = Held.find("\r\n");
      std::string_view Line = Held.substr(0, End);
      if (End == std::string_view::npos && Line.ends_with('\r')) Line.remove_suffix(1);
      if (Line.size() > kMaxChunkLineBytes) return RefuseChunkLine();
      if (End != std::string_view::npos && Held.size() - End - 2 > E.Options.MaxHeaderBytes)
        return RefuseTrailer();
    }
    if (BodyWireBytes + Buffer.size() > MaxWire) return RefuseFraming();
    ReadMoreBody();
  }

  // The trailer of a chunked body Beast has read whole, as its lines take on the wire: its
  // fields follow the one field of the framing head it was given.
  std::size_t TrailerBytes() const {
    const http::fields& Fields = Parser->get();
    std::size_t Bytes = 2;
    for (auto It = std::next(Fields.begin()); It != Fields.end(); ++It)
      Bytes += It->name_string().size() + It->value().size() + 4;
    return Bytes;
  }

  void RefuseChunkLine() {
    Refuse(400, "Bad request: a chunk line of the body is longer than " +
                    std::to_string(kMaxChunkLineBytes) + " bytes.");
  }

  void RefuseTrailer() {
    Refuse(431, "Request refused: the trailer lines after its chunked body are longer than " +
                    std::to_string(E.Options.MaxHeaderBytes) + " bytes together.");
  }

  void RefuseFraming() {
    Refuse(413, "Request refused: its body is too large as sent. At most " +
                    std::to_string(E.Options.MaxBodyBytes) +
                    " bytes are accepted, and its chunk lines and trailer may add at most " +
                    std::to_string(kChunkFramingBytes) + " bytes.");
  }

  void RefuseBody() {
    Refuse(413, "Request refused: its body is too large. At most " +
                    std::to_string(E.Options.MaxBodyBytes) + " bytes are accepted.");
  }

  void Refuse(int Status, const std::string& Message) {
    TEngineResponse R;
    try {
      R = E.ErrorPage(Status, Message);
    } catch (...) {
      R = PlainErrorPage(Status, Message);
    }
    R.Status = Status;
    R.Close = true;
    Send(R, false);
  }

  void Dispatch() {
    Job = std::make_shared<std::atomic<int>>(0);  // 0 queued, 1 taken, 2 expired
    Arm(E.Options.QueueTimeout, TPhase::Queue);
    E.Workers.Post([Self = this->shared_from_this(), Job = Job] {
      int Expected = 0;
      if (!Job->compare_exchange_strong(Expected, 1)) return;
      Self->Run();
    });
  }

  // On a worker thread: the handler, then the answer back on the strand.
  void Run() {
    std::shared_ptr<void> Guard = E.AnswerGuard();
    TEngineResponse Response;
    try {
      E.Handler(Request, Response, *this);
    } catch (const std::exception& X) {
      Response = E.ErrorPage(500, std::string("The request could not be served: ") + X.what());
      Response.Status = 500;
    } catch (...) {
      Response = E.ErrorPage(500, "The request could not be served.");
      Response.Status = 500;
    }
    asio::post(S.get_executor(), [Self = this->shared_from_this(), R = std::move(Response),
                                  Guard = std::move(Guard)]() mutable {
      Self->Answer = std::move(Guard);
      if (Self->Raw) return Self->Finish(false);
      Self->Send(R, Self->Request.Method == "HEAD");
    });
  }

  void Send(const TEngineResponse& R, bool HeadOnly) {
    if (Closed) return;
    ++Served;
    const bool KeepAlive = !R.Close && WantsKeepAlive && !E.Stopping &&
                           Served < static_cast<std::size_t>(E.Options.KeepAliveMaxCount);
    std::string& Out = Output;
    Out.clear();
    Out.reserve(256 + R.Body.size());
    Out += "HTTP/1.1 " + std::to_string(R.Status) + " " + ReasonPhrase(R.Status) + "\r\n";
    for (const auto& [Name, Value] : R.Headers) {
      if (rtl::SameText(Name, "Content-Length") || rtl::SameText(Name, "Connection") ||
          rtl::SameText(Name, "Transfer-Encoding"))
        continue;
      Out += Name;
      Out += ": ";
      Out += Value;
      Out += "\r\n";
    }
    Out += "Content-Length: " + std::to_string(R.Body.size()) + "\r\n";
    if (!KeepAlive)
      Out += "Connection: close\r\n";
    else if (Request.Version == "HTTP/1.0")
      Out += "Connection: keep-alive\r\n";
    Out += "\r\n";
    if (!HeadOnly) Out += R.Body;
    Arm(E.Options.WriteTimeout, TPhase::Write);
    asio::async_write(S, asio::buffer(Out),
                      [Self = this->shared_from_this(), KeepAlive](
                          const boost::system::error_code& Ec, std::size_t) {
                        Self->Answer.reset();
                        if (Ec) return Self->Close();
                        if (KeepAlive) return Self->ReadHead();
                        Self->Finish(true);
                      });
  }

  // Ends the connection after its last answer. The client may still be sending (a body that
  // was refused): what it sends is read and dropped for a moment, so that it reads the answer
  // rather than a reset.
  void Finish(bool Linger) {
    if (Closed) return;
    if (!Linger) return Close();
    Arm(kLingerTime, TPhase::Linger);
    boost::system::error_code Ec;
    if constexpr (std::is_same_v<TStream, tcp::socket>) {
      S.shutdown(tcp::socket::shutdown_send, Ec);
      Drain(0);
    } else {
      S.async_shutdown(
          [Self = this->shared_from_this()](const boost::system::error_code&) { Self->Close(); });
    }
  }

  void Drain(std::size_t Dropped) {
    if (Dropped > kLingerBytes) return Close();
    Buffer.clear();
    S.async_read_some(Buffer.prepare(kReadChunk),
                      [Self = this->shared_from_this(), Dropped](
                          const boost::system::error_code& Ec, std::size_t N) {
                        if (Ec) return Self->Close();
                        Self->Drain(Dropped + N);
                      });
  }

  THttpEngine::TImpl& E;
  TStream S;
  asio::steady_timer Timer;
  unsigned TimerGeneration = 0;
  beast::flat_buffer Buffer;
  THeadScanner Scanner;
  std::optional<http::request_parser<http::string_body>> Parser;
  // Bytes of the body the parser has taken, chunk lines and trailer included.
  std::size_t BodyWireBytes = 0;
  // A whole chunk line longer than kMaxChunkLineBytes: the parser stops at it.
  bool ChunkLineTooLong = false;
  std::function<void(std::uint64_t, beast::string_view, boost::system::error_code&)> OnChunkHeader =
      [this](std::uint64_t Size, beast::string_view Extensions, boost::system::error_code& Ec) {
        if (HexDigits(Size) + Extensions.size() <= kMaxChunkLineBytes) return;
        ChunkLineTooLong = true;
        Ec = http::error::bad_chunk_extension;
      };
  std::string Address;
  TEngineRequest Request;
  std::string Output;
  std::shared_ptr<std::atomic<int>> Job;
  std::shared_ptr<void> Answer;  // while a handler's answer is under way
  std::size_t Served = 0;
  bool HeadStarted = false;
  bool Readable = false;  // the socket has bytes waiting
  bool WantsKeepAlive = true;
  bool Resumed = false;  // the TLS handshake resumed a session
  bool Closed = false;
  std::atomic<bool> Raw{false};
};

}  // namespace

void THttpEngine::TImpl::SetUpTls() {
  const bool Files = !Options.CertificateFile.empty();
  const bool Memory = Options.Certificate != nullptr;
  if (!Files && !Memory) return;
  Tls.emplace(asio::ssl::context::tls_server);
  Tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(Tls->native_handle(), TLS1_2_VERSION);
  // Clients may resume their sessions, by ticket or from the server's own cache: a resumed
  // handshake costs neither side a signature nor a key exchange with the certificate's key.
  static constexpr unsigned char kSessionContext[] = "zelk-engine";
  SSL_CTX_set_session_cache_mode(Tls->native_handle(), SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_session_id_context(Tls->native_handle(), kSessionContext, sizeof kSessionContext - 1);
  if (Files) {
    boost::system::error_code Ec;
    Tls->use_certificate_chain_file(Options.CertificateFile, Ec);
    if (!Ec) Tls->use_private_key_file(Options.PrivateKeyFile, asio::ssl::context::pem, Ec);
    if (Ec)
      throw rtl::Exception("cannot load the certificate \"" + Options.CertificateFile +
                           "\" or the private key \"" + Options.PrivateKeyFile +
                           "\": " + Ec.message());
  } else if (SSL_CTX_use_certificate(Tls->native_handle(), Options.Certificate) != 1 ||
             SSL_CTX_use_PrivateKey(Tls->native_handle(), Options.PrivateKey) != 1 ||
             SSL_CTX_check_private_key(Tls->native_handle()) != 1) {
    throw rtl::Exception("cannot use the certificate and private key given");
  }
  if (Options.ConfigureTls) Options.ConfigureTls(Tls->native_handle());
}

void THttpEngine::TImpl::Accept() {
  Acceptor->async_accept(
      asio::make_strand(*Io),
      [Self = shared_from_this()](const boost::system::error_code& Ec, tcp::socket Socket) {
        if (Ec == asio::error::operation_aborted || !Self->Acceptor->is_open()) return;
        if (!Ec) Self->OnAccept(std::move(Socket));
        Self->Accept();
      });
}

void THttpEngine::TImpl::OnAccept(tcp::socket Socket) {
  boost::system::error_code Ec;
  const auto Peer = Socket.remote_endpoint(Ec);
  if (Ec) return;
  std::string Address = Peer.address().to_string();
  // Over either cap: closed at once, without an answer.
  if (Stopping || !TakeSlot(Address)) {
    Socket.close(Ec);
    return;
  }
  ++Accepted;
  // Answers go out in one write, but a TLS record or a raw piece may follow another.
  Socket.set_option(tcp::no_delay(true), Ec);
  if (Tls) {
    std::make_shared<TConnection<asio::ssl::stream<tcp::socket>>>(
        *this, asio::ssl::stream<tcp::socket>(std::move(Socket), *Tls), std::move(Address))
        ->Begin();
  } else {
    std::make_shared<TConnection<tcp::socket>>(*this, std::move(Socket), std::move(Address))
        ->Begin();
  }
}

void THttpEngine::TImpl::Stop() {
  std::lock_guard G(Lifecycle);
  if (!Started || Stopped) return;
  Stopped = true;
  Stopping = true;
  std::promise<void> Closed;
  asio::post(Acceptor->get_executor(), [this, &Closed] {
    boost::system::error_code Ec;
    Acceptor->close(Ec);
    Closed.set_value();
  });
  Closed.get_future().wait();
  // Handlers in progress finish (they may still write through their connection), and their
  // answers are written...
  Workers.Stop();
  {
    std::unique_lock L(AnswerMutex);
    AnswerDone.wait_for(L, Options.WriteTimeout, [this] { return Answering == 0; });
  }
  // ...then the event loop ends, and with it every connection.
  Work.reset();
  Io->stop();
  for (auto& T : IoThreads)
    if (T.joinable()) T.join();
  IoThreads.clear();
  Acceptor.reset();
  Io.reset();
}

THttpEngine::THttpEngine(TEngineOptions Options, TEngineHandler Handler, TEngineErrorPage ErrorPage)
    : FImpl(std::make_shared<TImpl>(std::move(Options), std::move(Handler), std::move(ErrorPage))) {
}

THttpEngine::~THttpEngine() {
  try {
    Stop();
  } catch (...) {
    // Stop fails only when a thread cannot be joined; nothing more can be done here.
  }
}

void THttpEngine::Start() {
  TImpl& I = *FImpl;
  std::lock_guard G(I.Lifecycle);
  if (I.Started) throw rtl::Exception("the HTTP engine was already started");
  const TEngineOptions& O = I.Options;
  I.SetUpTls();
  I.Io = std::make_unique<asio::io_context>();
  boost::system::error_code Ec;
  const auto Address = asio::ip::make_address(O.BindAddress, Ec);
  if (Ec) throw rtl::Exception("\"" + O.BindAddress + "\" is not an IP address");
  I.Acceptor.emplace(asio::make_strand(*I.Io));
  tcp::acceptor& Acceptor = *I.Acceptor;
  const tcp::endpoint Endpoint(Address, static_cast<unsigned short>(O.Port));
  Acceptor.open(Endpoint.protocol(), Ec);
  // A restart may bind while the old connections linger.
  if (!Ec) Acceptor.set_option(asio::socket_base::reuse_address(true), Ec);
  if (!Ec) Acceptor.bind(Endpoint, Ec);
  // The longest queue of connections not yet accepted the system allows: browsers and
  // kept-alive clients that reconnect together would otherwise have their SYN dropped and wait
  // a second to retry.
  if (!Ec) Acceptor.listen(asio::socket_base::max_listen_connections, Ec);
  if (Ec) {
    // The acceptor goes before the event loop it belongs to.
    I.Acceptor.reset();
    I.Io.reset();
    throw rtl::Exception("cannot listen on " + O.BindAddress + ":" + std::to_string(O.Port) + ": " +
                         Ec.message());
  }
  I.BoundPort = Acceptor.local_endpoint().port();
  I.Work.emplace(I.Io->get_executor());
  I.Workers.Start(std::max(1, O.WorkerCount));
  int Threads =
      O.IoThreadCount > 0 ? O.IoThreadCount : static_cast<int>(std::thread::hardware_concurrency());
  Threads = std::max(1, Threads);
  for (int T = 0; T < Threads; ++T)
    I.IoThreads.emplace_back([Io = I.Io.get()] { Io->run(); });
  I.Started = true;
  asio::post(I.Acceptor->get_executor(), [Self = FImpl] { Self->Accept(); });
}

void THttpEngine::Stop() {
  FImpl->Stop();
}

int THttpEngine::Port() const {
  return FImpl->BoundPort;
}

std::size_t THttpEngine::ConnectionCount() const {
  std::lock_guard L(FImpl->CountMutex);
  return FImpl->Total;
}

TEngineCounters THttpEngine::Counters() const {
  TEngineCounters C;
  C.Connections = FImpl->Accepted;
  C.Handshakes = FImpl->Handshakes;
  C.ResumedHandshakes = FImpl->Resumed;
  return C;
}

}  // namespace zelk::web::engine
