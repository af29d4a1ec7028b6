// Twitter's form-reply reader (ReadFormReply): any reply reads into name=value entries.
//
// Invariants: no entry holds "&" (every one became a separator) or a NUL byte; a reply made
// of plain bytes (no blank, control character, comma or quote) reads as exactly its "&"-pieces
// in order, a trailing empty piece left out; a lookup by name gives the value of the first entry
// of that name, letter case ignored, as the clients read "oauth_token" and "user_id".
#include <cstdint>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/FuzzSupport.h"

using namespace zelk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Reply(reinterpret_cast<const char*>(Data), Size);
  const rtl::TStringList Values = IWTwitterAuthClient::ReadFormReply(Reply);
  for (const std::string& Entry : Values.Items()) {
    ZELK_FUZZ_CHECK(Entry.find('&') == std::string::npos, Entry);
    ZELK_FUZZ_CHECK(Entry.find('\0') == std::string::npos, Entry);
  }

  bool Plain = Reply.find('\0') == std::string::npos;
  for (const char C : Reply)
    Plain = Plain && static_cast<unsigned char>(C) > ' ' && C != ',' && C != '"';
  if (Plain) {
    rtl::TStringList Pieces;
    IWZelkAuthBase::Split('&', Reply, &Pieces);
    if (Pieces.Count() > 0 && Pieces[Pieces.Count() - 1].empty()) Pieces.Delete(Pieces.Count() - 1);
    ZELK_FUZZ_CHECK(Values.Items() == Pieces.Items(), Reply);
  }

  for (const char* Name : {"oauth_token", "oauth_token_secret", "user_id", "screen_name"}) {
    std::string Expected;
    for (const std::string& Entry : Values.Items()) {
      const auto Eq = Entry.find('=');
      if (Eq != std::string::npos && rtl::SameText(Entry.substr(0, Eq), Name)) {
        Expected = Entry.substr(Eq + 1);
        break;
      }
    }
    ZELK_FUZZ_CHECK(Values.Values(Name) == Expected, Name);
  }
  return 0;
}
