// AES-256-GCM over OpenSSL EVP for session records, and the key ring that feeds it.
#include "platform/web/store/RecordCipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "platform/rtl/SysUtils.h"

namespace zelk::web::store {

namespace {

constexpr std::string_view kMagic = "zk1";
constexpr std::size_t kIvSize = 12;
constexpr std::size_t kTagSize = 16;

struct TCipherRelease {
  void operator()(EVP_CIPHER_CTX* C) const noexcept { EVP_CIPHER_CTX_free(C); }
};
using TCipherPtr = std::unique_ptr<EVP_CIPHER_CTX, TCipherRelease>;

// Wipes a string that held key material before it is freed.
struct TWipedString {
  std::string Text;
  ~TWipedString() {
    if (!Text.empty()) OPENSSL_cleanse(Text.data(), Text.size());
  }
};

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool IsIdCharacter(char C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' ||
         C == '_' || C == '-';
}

[[noreturn]] void Refuse(const std::string& Name, std::size_t Line, const std::string& What) {
  throw rtl::Exception("Key file " + Name + ", line " + std::to_string(Line) + ": " + What);
}

const unsigned char* Bytes(std::string_view S) {
  return reinterpret_cast<const unsigned char*>(S.data());
}

}  // namespace

TKeyRing::TKey::~TKey() {
  OPENSSL_cleanse(Bytes.data(), Bytes.size());
}

TKeyRing TKeyRing::FromFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    const int Error = errno;
    throw rtl::Exception("Key file " + Path + ": cannot be read (" +
                         std::generic_category().message(Error) + ")");
  }
  TWipedString Text;
  Text.Text.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  if (In.bad()) throw rtl::Exception("Key file " + Path + ": reading it failed");
  return FromText(Text.Text, Path);
}

TKeyRing TKeyRing::FromText(std::string_view Text, const std::string& Name) {
  TKeyRing Ring;
  std::size_t LineNumber = 0;
  while (!Text.empty()) {
    ++LineNumber;
    const auto End = Text.find('\n');
    const std::string_view Line = Text.substr(0, End);
    Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);

    const auto Blank = Line.find(' ');
    if (Line.empty()) Refuse(Name, LineNumber, "empty line; each line holds one key");
    if (Blank == std::string_view::npos)
      Refuse(Name, LineNumber, "expected a key id, one blank and 64 hexadecimal digits");
    const std::string_view Id = Line.substr(0, Blank);
    const std::string_view Hex = Line.substr(Blank + 1);
    if (Id.empty() || Id.size() > MaxIdLength)
      Refuse(Name, LineNumber,
             "a key id is 1 to " + std::to_string(MaxIdLength) + " characters long, this one " +
                 std::to_string(Id.size()));
    for (char C : Id)
      if (!IsIdCharacter(C))
        Refuse(Name, LineNumber,
               "a key id holds only letters, digits, '.', '_' and '-', not " +
                   (C > ' ' && C < 127
                        ? "'" + std::string(1, C) + "'"
                        : "character " + std::to_string(static_cast<unsigned char>(C))));
    const std::string IdText(Id);
    if (!Hex.empty() && Hex.back() == '\r')
      Refuse(Name, LineNumber,
             "the line ends with a carriage return; save the file with Unix line ends");
    if (Hex.size() != KeySize * 2)
      Refuse(Name, LineNumber,
             "the key of \"" + IdText + "\" has " + std::to_string(Hex.size()) +
                 " characters; a key is 64 hexadecimal digits (32 bytes)");
    // Every line before this one holds a key: the key at index I is on line I + 1.
    for (std::size_t I = 0; I < Ring.FKeys.size(); ++I)
      if (Ring.FKeys[I].Id == IdText)
        Refuse(Name, LineNumber,
               "key id \"" + IdText + "\" is listed twice (first on line " + std::to_string(I + 1) +
                   ")");

    TKey& Key = Ring.FKeys.emplace_back();
    Key.Id = IdText;
    for (std::size_t I = 0; I < KeySize; ++I) {
      const int High = HexValue(Hex[2 * I]);
      const int Low = HexValue(Hex[2 * I + 1]);
      if (High < 0 || Low < 0)
        Refuse(Name, LineNumber,
               "the key of \"" + IdText + "\" is not hexadecimal (character " +
                   std::to_string(2 * I + (High < 0 ? 1 : 2)) + ")");
      Key.Bytes[I] = static_cast<unsigned char>(High * 16 + Low);
    }
  }
  if (Ring.FKeys.empty())
    throw rtl::Exception("Key file " + Name +
                         ": no key (each line holds one: an id, one blank, 64 hexadecimal digits)");
  return Ring;
}

const TKeyRing::TKey* TKeyRing::Find(std::string_view Id) const {
  for (const auto& K : FKeys)
    if (K.Id == Id) return &K;
  return nullptr;
}

std::string SealRecord(const TKeyRing& Keys, std::string_view SessionId, std::string_view Plain) {
  const auto& Key = Keys.FKeys.front();
  if (Plain.size() > static_cast<std::size_t>(INT_MAX) - 64 ||
      SessionId.size() > static_cast<std::size_t>(INT_MAX))
    throw rtl::Exception("Session record of " + std::to_string(Plain.size()) +
                         " bytes: too large to seal");
  std::string Record;
  Record.reserve(kMagic.size() + 1 + Key.Id.size() + kIvSize + Plain.size() + kTagSize);
  Record.append(kMagic);
  Record.push_back(static_cast<char>(Key.Id.size()));
  Record.append(Key.Id);
  const std::size_t HeaderSize = Record.size();
  Record.resize(HeaderSize + kIvSize + Plain.size() + kTagSize);
  auto* Out = reinterpret_cast<unsigned char*>(Record.data());
  unsigned char* Iv = Out + HeaderSize;
  unsigned char* Cipher = Iv + kIvSize;
  if (RAND_bytes(Iv, kIvSize) != 1)
    throw rtl::Exception("Sealing a session record: no random bytes for the IV");

  TCipherPtr Ctx(EVP_CIPHER_CTX_new());
  int Len = 0;
  int Final = 0;
  if (!Ctx || EVP_EncryptInit_ex(Ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) != 1 ||
      EVP_EncryptInit_ex(Ctx.get(), nullptr, nullptr, Key.Bytes.data(), Iv) != 1 ||
      EVP_EncryptUpdate(Ctx.get(), nullptr, &Len, Out, static_cast<int>(HeaderSize)) != 1 ||
      EVP_EncryptUpdate(Ctx.get(), nullptr, &Len, Bytes(SessionId),
                        static_cast<int>(SessionId.size())) != 1 ||
      EVP_EncryptUpdate(Ctx.get(), Cipher, &Len, Bytes(Plain), static_cast<int>(Plain.size())) !=
          1 ||
      EVP_EncryptFinal_ex(Ctx.get(), Cipher + Len, &Final) != 1 ||
      static_cast<std::size_t>(Len) + static_cast<std::size_t>(Final) != Plain.size() ||
      EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, Cipher + Plain.size()) != 1)
    throw rtl::Exception("Sealing a session record: AES-256-GCM failed");
  return Record;
}

std::optional<std::string> OpenRecord(const TKeyRing& Keys, std::string_view SessionId,
                                      std::string_view Record) {
  if (Record.size() < kMagic.size() + 1 || Record.substr(0, kMagic.size()) != kMagic ||
      Record.size() > static_cast<std::size_t>(INT_MAX) ||
      SessionId.size() > static_cast<std::size_t>(INT_MAX))
    return std::nullopt;
  const std::size_t IdSize = static_cast<unsigned char>(Record[kMagic.size()]);
  const std::size_t HeaderSize = kMagic.size() + 1 + IdSize;
  if (Record.size() < HeaderSize + kIvSize + kTagSize) return std::nullopt;
  const auto* Key = Keys.Find(Record.substr(kMagic.size() + 1, IdSize));
  if (!Key) return std::nullopt;

  const unsigned char* In = Bytes(Record);
  const unsigned char* Iv = In + HeaderSize;
  const unsigned char* Cipher = Iv + kIvSize;
  const std::size_t CipherSize = Record.size() - HeaderSize - kIvSize - kTagSize;
  // The tag is passed through a copy: OpenSSL's control call takes a non-const pointer.
  unsigned char Tag[kTagSize];
  std::memcpy(Tag, Cipher + CipherSize, kTagSize);

  std::string Plain(CipherSize, '\0');
  auto* Out = reinterpret_cast<unsigned char*>(Plain.data());
  TCipherPtr Ctx(EVP_CIPHER_CTX_new());
  if (!Ctx) throw rtl::Exception("Opening a session record: no memory for the cipher");
  int Len = 0;
  int Final = 0;
  const bool Opened =
      EVP_DecryptInit_ex(Ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) == 1 &&
      EVP_DecryptInit_ex(Ctx.get(), nullptr, nullptr, Key->Bytes.data(), Iv) == 1 &&
      EVP_DecryptUpdate(Ctx.get(), nullptr, &Len, In, static_cast<int>(HeaderSize)) == 1 &&
      EVP_DecryptUpdate(Ctx.get(), nullptr, &Len, Bytes(SessionId),
                        static_cast<int>(SessionId.size())) == 1 &&
      EVP_DecryptUpdate(Ctx.get(), Out, &Len, Cipher, static_cast<int>(CipherSize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, Tag) == 1 &&
      EVP_DecryptFinal_ex(Ctx.get(), Out + Len, &Final) == 1;
  if (!Opened) {
    // What was decrypted before the tag failed is not to be trusted, nor left lying around.
    OPENSSL_cleanse(Plain.data(), Plain.size());
    return std::nullopt;
  }
  return Plain;
}

}  // namespace zelk::web::store
