// Encoding, signing and parsing helpers, on OpenSSL (MD5, HMAC-SHA1, Base64, randomness) and
// nlohmann/json.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/HelpersDetail.h"
#include "core/IWZelkAuthBase.h"

namespace zelk::IWZelkAuthBase {

namespace {

struct TSeams {
  std::mutex Mutex;
  TClock Clock;
  TRandomSource Random;
};

TSeams& Seams() {
  static TSeams S;
  return S;
}

constexpr char kHexUpper[] = "0123456789ABCDEF";

// One lookup per byte instead of a chain of comparisons.
constexpr std::array<bool, 256> kUnreserved = [] {
  std::array<bool, 256> T{};
  for (int C = 0; C < 256; ++C)
    T[static_cast<std::size_t>(C)] = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') ||
                                     (C >= '0' && C <= '9') || C == '-' || C == '.' || C == '_' ||
                                     C == '~';
  return T;
}();

bool IsUnreserved(unsigned char C) {
  return kUnreserved[C];
}

// Appends C as "%XX" (upper-case hexadecimal).
void AppendEscape(std::string& Out, unsigned char C) {
  Out += '%';
  Out += kHexUpper[C >> 4];
  Out += kHexUpper[C & 15];
}

// Form encoding: a blank becomes "+"; letters, digits and the characters the runtime's form
// encoder leaves alone stay; every other byte is escaped.
std::string FormEncode(std::string_view Value) {
  std::string R;
  R.reserve(Value.size() * 3);
  for (unsigned char C : Value) {
    if (C == ' ') {
      R += '+';
    } else if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
               std::string_view("*@._-$!'()").find(static_cast<char>(C)) !=
                   std::string_view::npos) {
      R += static_cast<char>(C);
    } else {
      AppendEscape(R, C);
    }
  }
  return R;
}

std::string Hex(const std::uint8_t* Bytes, std::size_t Count) {
  std::string R;
  R.reserve(Count * 2);
  for (std::size_t I = 0; I < Count; ++I) {
    R += kHexUpper[Bytes[I] >> 4];
    R += kHexUpper[Bytes[I] & 15];
  }
  return R;
}

}  // namespace

void SetClock(TClock Clock) {
  std::lock_guard L(Seams().Mutex);
  Seams().Clock = std::move(Clock);
}

void SetRandomSource(TRandomSource Source) {
  std::lock_guard L(Seams().Mutex);
  Seams().Random = std::move(Source);
}

namespace detail {

std::chrono::system_clock::time_point Now() {
  TClock Clock;
  {
    std::lock_guard L(Seams().Mutex);
    Clock = Seams().Clock;
  }
  return Clock ? Clock() : std::chrono::system_clock::now();
}

bool RandomBytes(std::uint8_t* Buffer, std::size_t Count) {
  TRandomSource Source;
  {
    std::lock_guard L(Seams().Mutex);
    Source = Seams().Random;
  }
  if (Source) return Source(Buffer, Count);
  return RAND_bytes(Buffer, static_cast<int>(Count)) == 1;
}

std::string NonceDigest(std::string_view Data) {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> Digest{};
  unsigned int Len = 0;
  if (EVP_Digest(Data.data(), Data.size(), Digest.data(), &Len, EVP_md5(), nullptr) != 1)
    throw rtl::Exception("MD5 digest failed");
  return Hex(Digest.data(), Len);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// JSON

namespace {

// Removes every object member whose value is null, at every depth (inside arrays too): the
// providers write null for data they do not have, which the clients must read as absent, never
// as the text "null". Array elements stay where they are.
// Walks with its own stack: a hostile reply may nest deeper than the call stack reaches.
void DropNullMembers(nlohmann::json& Value) {
  std::vector<nlohmann::json*> Pending{&Value};
  while (!Pending.empty()) {
    nlohmann::json& Next = *Pending.back();
    Pending.pop_back();
    if (Next.is_object()) {
      for (auto It = Next.begin(); It != Next.end();) {
        if (It->is_null()) {
          It = Next.erase(It);
        } else {
          if (It->is_structured()) Pending.push_back(&*It);
          ++It;
        }
      }
    } else if (Next.is_array()) {
      for (nlohmann::json& Element : Next)
        if (Element.is_structured()) Pending.push_back(&Element);
    }
  }
}

}  // namespace

TJSONObject::TJSONObject(nlohmann::json Value) {
  if (Value.is_object()) {
    DropNullMembers(Value);
    FValue = std::move(Value);
  }
}

const nlohmann::json* TJSONObject::Find(std::string_view Name) const {
  const auto It = FValue.find(Name);
  return It == FValue.end() ? nullptr : &*It;
}

bool TJSONObject::Has(std::string_view Name) const {
  return Find(Name) != nullptr;
}

std::string TJSONObject::Text(std::string_view Name) const {
  const nlohmann::json* V = Find(Name);
  return V == nullptr ? std::string() : JSONText(*V);
}

bool TJSONObject::IsObject(std::string_view Name) const {
  const nlohmann::json* V = Find(Name);
  return V != nullptr && V->is_object();
}

TJSONObject TJSONObject::Object(std::string_view Name) const {
  const nlohmann::json* V = Find(Name);
  return V != nullptr && V->is_object() ? TJSONObject(*V) : TJSONObject();
}

int TJSONObject::Count() const {
  return static_cast<int>(FValue.size());
}

std::string JSONText(const nlohmann::json& Value) {
  if (Value.is_string()) return Value.get_ref<const std::string&>();
  // Parsed text is valid UTF-8, so dumping cannot fail; replace guards hand-built values.
  return Value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ParseJSON(const std::string& Text, TJSONObject& JSON) {
  // The parser takes a NUL byte for the end of its input; a reply holding one is not a JSON
  // document, whatever precedes it.
  if (Text.find('\0') != std::string::npos) {
    JSON.FValue = nlohmann::json::object();
    return;
  }
  nlohmann::json Parsed = nlohmann::json::parse(Text, nullptr, /*allow_exceptions=*/false);
  if (Parsed.is_object()) {
    DropNullMembers(Parsed);
    JSON.FValue = std::move(Parsed);
  } else {
    JSON.FValue = nlohmann::json::object();
  }
}

// ---------------------------------------------------------------------------------------------
// Lists and encodings

void Split(char Delimiter, const std::string& Text, rtl::TStringList* Strings) {
  rtl::Assert(Strings != nullptr);
  Strings->Clear();
  std::size_t Start = 0;
  for (;;) {
    const std::size_t P = Text.find(Delimiter, Start);
    if (P == std::string::npos) break;
    Strings->Add(Text.substr(Start, P - Start));
    Start = P + 1;
  }
  Strings->Add(Text.substr(Start));
}

namespace {

// Appends Value percent-encoded (unreserved characters kept) to Out. Written through a pointer
// into room made for the worst case, then cut to size: appending byte by byte costs more than
// the encoding on a signed request's long parameter string.
void AppendURLEncoded(std::string& Out, std::string_view Value) {
  const std::size_t Start = Out.size();
  Out.resize(Start + Value.size() * 3);
  char* P = Out.data() + Start;
  for (unsigned char C : Value) {
    if (IsUnreserved(C)) {
      *P++ = static_cast<char>(C);
    } else {
      *P++ = '%';
      *P++ = kHexUpper[C >> 4];
      *P++ = kHexUpper[C & 15];
    }
  }
  Out.resize(static_cast<std::size_t>(P - Out.data()));
}

}  // namespace

std::string URLEncode(std::string_view Value) {
  std::string R;
  R.reserve(Value.size() * 3);
  AppendURLEncoded(R, Value);
  return R;
}

std::string EncodeURLUnsafe(std::string_view Value) {
  static constexpr std::string_view kUnsafe = "\"#&<>\\^`{|}";
  std::string R;
  R.reserve(Value.size());
  for (unsigned char C : Value) {
    if (C > ' ' && C < 127 && kUnsafe.find(static_cast<char>(C)) == std::string_view::npos) {
      R += static_cast<char>(C);
    } else {
      AppendEscape(R, C);
    }
  }
  return R;
}

std::string EncodeParamEntries(std::span<const std::string_view> Entries,
                               std::string_view Separator, bool QuoteValues,
                               bool FormEncodeValues) {
  // Every signed request runs this three times, so the items are built one after another in a
  // single buffer sized for the worst case, and sorted as (offset, length) pairs: a call
  // allocates the buffer, the pairs and the result, whatever the number of items.
  std::size_t Room = 0;
  for (const std::string_view Entry : Entries)
    Room += Entry.size() * 3 + 3;
  std::string Buffer;
  Buffer.reserve(Room);
  std::vector<std::pair<std::size_t, std::size_t>> Items;
  Items.reserve(Entries.size());
  for (const std::string_view Entry : Entries) {
    const auto Eq = Entry.find('=');
    const std::string_view Name =
        Eq == std::string_view::npos ? std::string_view() : Entry.substr(0, Eq);
    const std::string_view Value =
        Eq == std::string_view::npos ? std::string_view() : Entry.substr(Eq + 1);
    const std::size_t Start = Buffer.size();
    Buffer += Name;
    if (QuoteValues) {
      Buffer += "=\"";
      Buffer += Value;
      Buffer += '"';
    } else if (FormEncodeValues) {
      Buffer += '=';
      Buffer += FormEncode(Value);
    } else {
      Buffer += '=';
      AppendURLEncoded(Buffer, Value);
    }
    Items.emplace_back(Start, Buffer.size() - Start);
  }
  const auto View = [&Buffer](const std::pair<std::size_t, std::size_t>& Item) {
    return std::string_view(Buffer).substr(Item.first, Item.second);
  };
  if (!QuoteValues) {
    // A stable insertion sort: parameter lists are short, and equal names keep their order.
    for (std::size_t I = 1; I < Items.size(); ++I) {
      for (std::size_t J = I; J > 0 && rtl::CompareText(View(Items[J]), View(Items[J - 1])) < 0;
           --J)
        std::swap(Items[J], Items[J - 1]);
    }
  }
  std::string R;
  R.reserve(Buffer.size() + Items.size() * Separator.size());
  for (std::size_t I = 0; I < Items.size(); ++I) {
    if (I > 0) R += Separator;
    R += View(Items[I]);
  }
  return R;
}

std::string EncodeParams(const rtl::TStringList& Params, const std::string& Separator,
                         bool QuoteValues, bool FormEncodeValues) {
  std::vector<std::string_view> Entries;
  Entries.reserve(static_cast<std::size_t>(Params.Count()));
  for (const std::string& Entry : Params.Items())
    Entries.emplace_back(Entry);
  return EncodeParamEntries(Entries, Separator, QuoteValues, FormEncodeValues);
}

std::string Base64Encode(std::string_view Bytes, TBase64 Form) {
  if (Bytes.empty()) return {};
  std::string R(4 * ((Bytes.size() + 2) / 3), '\0');
  const int N = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(R.data()),
                                reinterpret_cast<const unsigned char*>(Bytes.data()),
                                static_cast<int>(Bytes.size()));
  R.resize(static_cast<std::size_t>(N));
  if (Form == TBase64::URL) {
    while (!R.empty() && R.back() == '=')
      R.pop_back();
    std::replace(R.begin(), R.end(), '+', '-');
    std::replace(R.begin(), R.end(), '/', '_');
  }
  return R;
}

std::string Base64Encode(const TBytes& Bytes) {
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(Bytes.data()), Bytes.size()),
                      TBase64::Standard);
}

TBytes EncryptHMACSha1(const std::string& Value, const std::string& Key) {
  // SHA-1 fetched from OpenSSL's providers once per process: EVP_sha1() makes every HMAC look
  // it up again, under a lock that signing threads share. Immutable once made.
  struct TMdFree {
    void operator()(EVP_MD* Md) const { EVP_MD_free(Md); }
  };
  static const std::unique_ptr<EVP_MD, TMdFree> kSha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
  TBytes Digest(EVP_MAX_MD_SIZE);
  unsigned int Len = 0;
  // An empty key is valid (RFC 2104); OpenSSL wants a non-null pointer for it.
  static const unsigned char kEmpty = 0;
  const void* KeyData = Key.empty() ? static_cast<const void*>(&kEmpty) : Key.data();
  if (HMAC(kSha1 ? kSha1.get() : EVP_sha1(), KeyData, static_cast<int>(Key.size()),
           reinterpret_cast<const unsigned char*>(Value.data()), Value.size(), Digest.data(),
           &Len) == nullptr)
    throw rtl::Exception("HMAC-SHA1 failed");
  Digest.resize(Len);
  return Digest;
}

// ---------------------------------------------------------------------------------------------
// Time stamps, nonces and identifiers

std::string GenerateTimeStamp() {
  const auto Seconds =
      std::chrono::duration_cast<std::chrono::seconds>(detail::Now().time_since_epoch()).count();
  return std::to_string(static_cast<std::int64_t>(Seconds));
}

std::string GenerateNonce() {
  // The time stamp keeps the nonce's old ingredients; 128 random bits make it unique per call,
  // so two sign-ins in the same second do not refuse each other.
  std::string Data = GenerateTimeStamp();
  std::array<std::uint8_t, 16> Random{};
  if (!detail::RandomBytes(Random.data(), Random.size()))
    throw rtl::Exception("GenerateNonce: the random source failed");
  Data.append(reinterpret_cast<const char*>(Random.data()), Random.size());
  return detail::NonceDigest(Data);
}

std::string CreateGuid() {
  std::array<std::uint8_t, 16> B{};
  if (!detail::RandomBytes(B.data(), B.size())) return {};
  B[6] = static_cast<std::uint8_t>((B[6] & 0x0F) | 0x40);  // version 4
  B[8] = static_cast<std::uint8_t>((B[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string H = Hex(B.data(), B.size());
  return "{" + H.substr(0, 8) + "-" + H.substr(8, 4) + "-" + H.substr(12, 4) + "-" +
         H.substr(16, 4) + "-" + H.substr(20, 12) + "}";
}

}  // namespace zelk::IWZelkAuthBase
