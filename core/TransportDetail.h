// Internals of the HTTPS transport shared by its files and its tests (not installed).
//
// The transport is split by concern: Transport.cpp checks the caller's input and dispatches to
// the test hook or the network; CurlCall.cpp is the only code that drives libcurl;
// TrustStore.cpp keeps the process-wide set of trusted certificates; TransportSettings.cpp the
// settings; TransportError.cpp the step names and error texts.
#pragma once

#include <curl/curl.h>
#include <chrono>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/IWZelkAuthBase.h"

typedef struct x509_store_st X509_STORE;

namespace zelk::IWZelkAuthBase::detail {

// The provider host keys that ZELK_PROVIDER_HOSTS set, in the order given (reads it if not yet).
std::vector<std::string> ProviderHostKeysFromEnvironment();
// Writes "zelk: <What>" as one line to standard error.
void ReportEnvironmentOverride(const std::string& What);

// The steps of a call, named in its error messages.
enum class TTransportStep : std::uint8_t {
  tsInternetOpen,               // creating the handle and applying the settings
  tsInternetConnect,            // the host setting
  tsHttpOpenRequest,            // the request target and header line
  tsHttpSendRequest,            // name resolution, connection, TLS, sending
  tsHttpReceiveResponse,        // waiting for and reading the response head
  tsInternetQueryDataAvailable  // reading the body
};
using enum TTransportStep;

std::string_view StepName(TTransportStep Step);

// libcurl's detail text made fit for a one-line message: control characters inside become
// blanks; trailing blanks, control characters and full stops are cut.
std::string CleanDescription(std::string_view Text);

// "<Step> Error <Code> Description <Description>", with Description cleaned.
std::string TransportMessage(TTransportStep Step, long Code, std::string_view Description);
// Raises ETransportError with that message; RequestMayHaveArrived once the whole request was
// sent (see ETransportError).
[[noreturn]] void RaiseTransportError(TTransportStep Step, long Code, std::string_view Description,
                                      bool RequestMayHaveArrived = false);

// Which step a failed transfer is reported under, from its libcurl result code and how far it
// got: the TLS connection to the server was established, the whole request was sent, the
// final response head was read.
TTransportStep StepForCurlFailure(long Code, bool Connected, bool RequestSent, bool HeadComplete);

// Checks made before anything is sent. Each returns an empty text when the value is fine, else
// the reason (which never repeats the value: a request target carries tokens).
std::string RequestTargetProblem(std::string_view Target);
std::string HeaderLineProblem(std::string_view Header);

// A host setting as the endpoint table accepts it: a host name, IPv4 address or bracketed IPv6
// address, with an optional port.
bool IsValidHost(std::string_view Host);

// Shared ownership of an X509_STORE through OpenSSL's own reference count.
struct TX509StoreRelease {
  void operator()(X509_STORE* Store) const noexcept;
};
using TX509StorePtr = std::unique_ptr<X509_STORE, TX509StoreRelease>;

// The trusted certificates of every call: the system's CA bundle plus ExtraCACertificates. Built
// once per process and again only when ExtraCACertificates changes; every call takes another
// reference to the same store. Raises Exception when the extra certificates cannot be read.
TX509StorePtr AcquireTrustStore(const std::string& ExtraCACertificates);
// How often a trust store has been built in this process (the system bundle read).
std::uint64_t TrustStoreBuilds();

// Makes libcurl's process-wide state once (released at exit, after everything made later, such
// as the kept connections). Raises the step's Exception when libcurl cannot start.
void EnsureCurlGlobal();

// A libcurl multi handle, with the connection it keeps.
struct TMultiRelease {
  void operator()(CURLM* H) const noexcept;
};
using TMultiPtr = std::unique_ptr<CURLM, TMultiRelease>;

// What calls to one destination share: its host, proxy and trusted CA certificates.
std::string DestinationKey(const std::string& Host, const TTransportSettings& Settings);

// The TLS session cache of a destination (process-wide, thread-safe, bounded): every call to it
// with resumption on attaches its transfer to the share, and keeps the pointer while it runs.
class TSessionShare;
std::shared_ptr<TSessionShare> AcquireSessionShare(const std::string& Key);
CURLSH* SessionShareHandle(const TSessionShare& Share);

// Kept connections of the current APIs' calls: a multi handle whose cache holds one open
// connection to the destination. Take returns the most recently kept one that has idled less
// than MaxIdle (null when none), ending the others that idled longer; Keep puts one back,
// ending the oldest of the destination when MaxPerHost are kept already.
TMultiPtr TakeKeptConnection(const std::string& Key, std::chrono::milliseconds MaxIdle);
void KeepConnection(const std::string& Key, TMultiPtr Multi, std::size_t MaxPerHost);
// Counts a finished transfer that ran on a kept connection, or that was sent again.
void NoteTransfer(bool Reused, bool Retried);
// Ends every kept connection (the settings changed).
void DropKeptConnections();

// One request as the network path performs it: everything already checked.
struct THttpsCall {
  std::string Method;  // "GET" or "POST"
  std::string Host;
  std::string Target;
  std::string HeaderLine;                // empty: none
  const std::string* Data = nullptr;     // POST body; null for GET
  bool Http11 = false;                   // HTTP/1.1 instead of HTTP/1.0
  std::vector<std::string> HeaderLines;  // further header lines, in order
  std::string* StatusLine = nullptr;     // receives the reply's status line, when not null
};
// Performs the call over libcurl, appending the reply body to Body as it arrives. Raises the
// step's Exception on failure. Returns the reply's HTTP status.
long PerformHttpsCall(const THttpsCall& Call, const TTransportSettings& Settings,
                      std::string& Body);

}  // namespace zelk::IWZelkAuthBase::detail
