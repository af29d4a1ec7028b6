// Session records sealed with AES-256-GCM under a key ring: what goes in comes out for the same
// session only; any change, truncation, move or unknown key gives nothing; rotation; key files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/rtl/SysUtils.h"
#include "platform/web/store/RecordCipher.h"

namespace zelk::web::store {
namespace {

const std::string kSession = std::string(64, 'a');
const std::string kOldHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kNewHex = "F0E1D2C3B4A5968778695A4B3C2D1E0FF0E1D2C3B4A5968778695A4B3C2D1E0F";

TKeyRing Ring(const std::string& Text) {
  return TKeyRing::FromText(Text, "keys.txt");
}

TEST(RecordCipher, RoundTripsAnyPlaintextInTheLayoutItDocuments) {
  const auto Keys = Ring("k1 " + kOldHex + "\n");
  std::string Binary(4096, '\0');
  for (std::size_t I = 0; I < Binary.size(); ++I)
    Binary[I] = static_cast<char>(I * 31);
  for (const std::string& Plain : {std::string(), std::string("x"), Binary})
    for (const std::string& Id : {kSession, std::string()}) {
      const auto Record = SealRecord(Keys, Id, Plain);
      EXPECT_EQ(Record.size(), 3 + 1 + 2 + 12 + Plain.size() + 16);
      EXPECT_EQ(Record.substr(0, 6), std::string("zk1\x02k1", 6));
      EXPECT_EQ(OpenRecord(Keys, Id, Record), Plain);
    }
}

TEST(RecordCipher, TheRecordHidesThePlaintextAndNeverRepeats) {
  const auto Keys = Ring("k1 " + kOldHex);
  const std::string Plain = "user=alice@example.com;token=ya29.secret-access-token";
  const auto One = SealRecord(Keys, kSession, Plain);
  for (std::size_t I = 0; I + 6 <= Plain.size(); ++I)
    ASSERT_EQ(One.find(Plain.substr(I, 6)), std::string::npos) << Plain.substr(I, 6);
  EXPECT_NE(SealRecord(Keys, kSession, Plain), One);  // a fresh IV each time
}

TEST(RecordCipher, AnythingButTheRecordAsSealedForItsSessionOpensToNothing) {
  const auto Keys = Ring("k1 " + kOldHex);
  const auto Record = SealRecord(Keys, kSession, "state of the session");
  for (std::size_t I = 0; I < Record.size(); ++I) {
    auto Flipped = Record;
    Flipped[I] = static_cast<char>(Flipped[I] ^ 0x01);
    ASSERT_FALSE(OpenRecord(Keys, kSession, Flipped)) << "byte " << I;
  }
  for (std::size_t Size = 0; Size < Record.size(); ++Size)
    ASSERT_FALSE(OpenRecord(Keys, kSession, Record.substr(0, Size))) << "size " << Size;
  EXPECT_FALSE(OpenRecord(Keys, kSession, Record + "x"));
  EXPECT_FALSE(OpenRecord(Keys, std::string(64, 'b'), Record));       // moved to another session
  EXPECT_FALSE(OpenRecord(Ring("k2 " + kOldHex), kSession, Record));  // unknown key id
  EXPECT_FALSE(OpenRecord(Ring("k1 " + kNewHex), kSession, Record));  // same id, other key
}

TEST(RecordCipher, ARotatedRingOpensOldRecordsAndSealsWithTheNewKey) {
  const auto Old = Ring("old " + kOldHex + "\n");
  const auto Rotated = Ring("new " + kNewHex + "\nold " + kOldHex + "\n");
  EXPECT_EQ(Rotated.SealingId(), "new");
  EXPECT_EQ(Rotated.Size(), 2u);
  const auto OldRecord = SealRecord(Old, kSession, "before");
  EXPECT_EQ(OpenRecord(Rotated, kSession, OldRecord), "before");
  const auto NewRecord = SealRecord(Rotated, kSession, "after");
  EXPECT_EQ(NewRecord.substr(0, 7), "zk1\x03new");
  EXPECT_EQ(OpenRecord(Rotated, kSession, NewRecord), "after");
  EXPECT_FALSE(OpenRecord(Old, kSession, NewRecord));
  EXPECT_FALSE(OpenRecord(Ring("new " + kNewHex), kSession, OldRecord));  // old key retired
  // Hexadecimal digits in either case name the same key.
  std::string Lower = kNewHex;
  for (auto& C : Lower)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  EXPECT_EQ(OpenRecord(Ring("new " + Lower), kSession, NewRecord), "after");
}

TEST(RecordCipher, RefusesKeyFilesNamingTheLineAndNeverTheKey) {
  const std::string K = kOldHex;
  const std::pair<std::string, std::string> Cases[] = {
      {"",
       "Key file keys.txt: no key (each line holds one: an id, one blank, 64 hexadecimal "
       "digits)"},
      {"\n", "Key file keys.txt, line 1: empty line; each line holds one key"},
      {"k1 " + K + "\n\nk2 " + K, "Key file keys.txt, line 2: empty line; each line holds one key"},
      {"k1" + K,
       "Key file keys.txt, line 1: expected a key id, one blank and 64 hexadecimal digits"},
      {" " + K, "Key file keys.txt, line 1: a key id is 1 to 32 characters long, this one 0"},
      {std::string(33, 'i') + " " + K,
       "Key file keys.txt, line 1: a key id is 1 to 32 characters long, this one 33"},
      {"k/1 " + K,
       "Key file keys.txt, line 1: a key id holds only letters, digits, '.', '_' and "
       "'-', not '/'"},
      {"k\x01 " + K,
       "Key file keys.txt, line 1: a key id holds only letters, digits, '.', '_' and "
       "'-', not character 1"},
      {"k1 " + K.substr(1),
       "Key file keys.txt, line 1: the key of \"k1\" has 63 characters; a key "
       "is 64 hexadecimal digits (32 bytes)"},
      {"k1  " + K,
       "Key file keys.txt, line 1: the key of \"k1\" has 65 characters; a key is 64 "
       "hexadecimal digits (32 bytes)"},
      {"k1 " + K.substr(0, 40) + "g" + K.substr(41),
       "Key file keys.txt, line 1: the key of \"k1\" is not hexadecimal (character 41)"},
      {"k1 " + K + "\r\n",
       "Key file keys.txt, line 1: the line ends with a carriage return; save "
       "the file with Unix line ends"},
      {"k1 " + K + "\nk2 " + K + "\nk1 " + kNewHex,
       "Key file keys.txt, line 3: key id \"k1\" is listed twice (first on line 1)"},
  };
  for (const auto& [Text, Message] : Cases) {
    try {
      Ring(Text);
      ADD_FAILURE() << "accepted: " << Text;
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(), Message);
      EXPECT_EQ(E.Message().find("0a0b0c"), std::string::npos);
    }
  }
}

TEST(RecordCipher, ReadsItsKeysFromAFile) {
  char Path[] = "/tmp/zelk-keys-XXXXXX";
  const int Fd = ::mkstemp(Path);
  ASSERT_GE(Fd, 0);
  ::close(Fd);
  std::ofstream(Path) << "k1 " << kOldHex << "\n";
  const auto Keys = TKeyRing::FromFile(Path);
  EXPECT_EQ(OpenRecord(Ring("k1 " + kOldHex), kSession, SealRecord(Keys, kSession, "p")), "p");
  ::unlink(Path);
  try {
    TKeyRing::FromFile(Path);
    ADD_FAILURE() << "a missing file was read";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(),
              "Key file " + std::string(Path) + ": cannot be read (No such file or directory)");
  }
}

}  // namespace
}  // namespace zelk::web::store
