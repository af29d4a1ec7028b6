#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>

#include "platform/web/HttpRequest.h"

namespace zelk::fuzz {

TParts::TParts(const std::uint8_t* Data, std::size_t Size) {
  std::string Current;
  bool First = true;
  for (std::size_t I = 0; I < Size; ++I) {
    if (Data[I] == 0xFF) {
      (First ? FOptions : FParts.emplace_back()) = std::move(Current);
      Current.clear();
      First = false;
    } else {
      Current += static_cast<char>(Data[I]);
    }
  }
  (First ? FOptions : FParts.emplace_back()) = std::move(Current);
}

bool TParts::Option(int Index) const {
  const auto Byte = static_cast<std::size_t>(Index / 8);
  return Byte < FOptions.size() && (static_cast<unsigned char>(FOptions[Byte]) >> (Index % 8) & 1);
}

std::string TParts::Next() {
  return FNext < FParts.size() ? FParts[FNext++] : std::string();
}

TReply QueueReply(TParts& In, testing::RecordingTransport& Net) {
  TReply R;
  R.Body = In.Next();
  R.Failure = !R.Body.empty() && static_cast<unsigned char>(R.Body.front()) == 0xFE;
  if (R.Failure) {
    R.Body.clear();
    Net.Fail(std::string(kTransportFailure));
  } else {
    Net.Reply(R.Body);
  }
  return R;
}

void Fail(std::string_view What, std::string_view Detail) {
  std::fprintf(stderr, "\n== invariant broken: %.*s\n== detail: %.*s\n",
               static_cast<int>(What.size()), What.data(), static_cast<int>(Detail.size()),
               Detail.data());
  std::abort();
}

std::vector<std::pair<std::string, std::string>> Fields(std::string_view Text) {
  std::vector<std::pair<std::string, std::string>> R;
  for (;;) {
    const auto Amp = Text.find('&');
    const std::string_view Piece = Text.substr(0, Amp);
    const auto Eq = Piece.find('=');
    R.emplace_back(web::DecodeQueryComponent(Piece.substr(0, Eq)),
                   Eq == std::string_view::npos ? std::string()
                                                : web::DecodeQueryComponent(Piece.substr(Eq + 1)));
    if (Amp == std::string_view::npos) return R;
    Text.remove_prefix(Amp + 1);
  }
}

std::vector<std::string> FieldNames(std::string_view Text) {
  std::vector<std::string> Names;
  for (auto& [Name, Value] : Fields(Text))
    Names.push_back(std::move(Name));
  return Names;
}

std::string Field(std::string_view Text, std::string_view Name) {
  std::string Found;
  int Count = 0;
  for (auto& [N, V] : Fields(Text))
    if (N == Name) {
      Found = std::move(V);
      ++Count;
    }
  if (Count != 1) Fail("exactly one field named " + std::string(Name), Text);
  return Found;
}

std::string_view QueryOf(std::string_view Target) {
  const auto Q = Target.find('?');
  return Q == std::string_view::npos ? std::string_view() : Target.substr(Q + 1);
}

bool HasUnsafeByte(std::string_view Text) {
  for (const char C : Text) {
    const auto B = static_cast<unsigned char>(C);
    if (B <= ' ' || B > '~') return true;
  }
  return false;
}

}  // namespace zelk::fuzz
