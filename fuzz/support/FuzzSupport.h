// What the fuzz targets that drive whole clients share: the input cut into parts, the
// recording transport scripted from those parts, and checks that stop the run when an
// invariant breaks, so that libFuzzer keeps the input as a crash.
//
// Input layout: parts separated by the byte 0xFF, which UTF-8 text never holds. Part 0 holds
// option bits (bit I is bit I % 8 of byte I / 8); the following parts are texts the target takes
// in order (a callback query, provider replies, field values). A reply part that starts with
// 0xFE stands for a transport failure instead of a body. Missing parts read as empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/RecordingTransport.h"

namespace zelk::fuzz {

// The message of a scripted transport failure, as Https_Get and Https_Post raise it.
inline constexpr std::string_view kTransportFailure =
    "HttpSendRequest Error 7 Description Failed to connect to the fuzzed provider";

class TParts {
 public:
  TParts(const std::uint8_t* Data, std::size_t Size);
  bool Option(int Index) const;
  // The next text part, or empty when none is left.
  std::string Next();

 private:
  std::string FOptions;
  std::vector<std::string> FParts;
  std::size_t FNext = 0;
};

// What a scripted call answers.
struct TReply {
  bool Failure = false;
  std::string Body;
};

// Takes the next part as a reply and queues it on Net.
TReply QueueReply(TParts& In, testing::RecordingTransport& Net);

// Stops the run with What and Detail on standard error.
[[noreturn]] void Fail(std::string_view What, std::string_view Detail);

// A "name=value&name=value" text cut at every "&" with each name and value decoded ("+" a
// blank, "%XX" a byte): what a server reads from a form body or a query.
std::vector<std::pair<std::string, std::string>> Fields(std::string_view Text);
// The names of Fields(Text), in order.
std::vector<std::string> FieldNames(std::string_view Text);
// The decoded value of the one field named Name; Fail when there is none or more than one.
std::string Field(std::string_view Text, std::string_view Name);
// The query of a request target: what follows its first "?".
std::string_view QueryOf(std::string_view Target);

// Whether Text holds a byte a URL or header line sent on must not: a control character, a
// blank or a byte above 126.
bool HasUnsafeByte(std::string_view Text);

}  // namespace zelk::fuzz

// Checks an invariant; Detail is any printable text that helps to read the failure.
#define ZELK_FUZZ_CHECK(Condition, Detail)                      \
  do {                                                          \
    if (!(Condition)) ::zelk::fuzz::Fail(#Condition, (Detail)); \
  } while (false)
