// Registration on the palette and the palette bitmaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <span>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/Palette.h"
#include "platform/rtl/Resources.h"

namespace zelk {
namespace {

std::uint32_t U32(std::span<const std::uint8_t> B, std::size_t At) {
  return B[At] | (B[At + 1] << 8) | (B[At + 2] << 16) |
         (static_cast<std::uint32_t>(B[At + 3]) << 24);
}

TEST(Palette, NothingIsRegisteredUntilRegisterIsCalled) {
  rtl::ClearPalette();
  EXPECT_TRUE(rtl::PalettePages().empty());
  IWZelkAuthReg::Register();
  EXPECT_EQ(rtl::PalettePages(), std::vector<std::string>{"Zelk Nubra"});
  std::vector<std::string> Classes;
  for (const auto& E : rtl::PaletteEntries("Zelk Nubra"))
    Classes.push_back(E.ClassName);
  EXPECT_EQ(Classes,
            (std::vector<std::string>{"TZIWAuthServerController", "TZIWWindowsLiveAuthClient",
                                      "TZIWFacebookAuthClient", "TZIWTwitterAuthClient",
                                      "TZIWGAuthClient", "TZIWPayPalClient"}));
  rtl::ClearPalette();
}

TEST(Palette, EveryBitmapIsA24By24EightBitDibOf1640Bytes) {
  const char* Names[] = {"TZIWAUTHSERVERCONTROLLER", "TZIWFACEBOOKAUTHCLIENT",
                         "TZIWGAUTHCLIENT",          "TZIWPAYPALCLIENT",
                         "TZIWTWITTERAUTHCLIENT",    "TZIWWINDOWSLIVEAUTHCLIENT"};
  for (const char* Name : Names) {
    const auto B = rtl::FindResource(Name);
    ASSERT_EQ(B.size(), 1640u) << Name;
    EXPECT_EQ(U32(B, 0), 40u) << Name;   // header size
    EXPECT_EQ(U32(B, 4), 24u);           // width
    EXPECT_EQ(U32(B, 8), 24u);           // height: positive, bottom-up
    EXPECT_EQ(B[12] | (B[13] << 8), 1);  // planes
    EXPECT_EQ(B[14] | (B[15] << 8), 8);  // bits per pixel
    EXPECT_EQ(U32(B, 16), 0u);           // uncompressed
    EXPECT_EQ(U32(B, 20), 576u);         // image size
    EXPECT_EQ(U32(B, 32), 256u);         // colour table entries
    // Every pixel indexes a colour the art defined: not all one colour.
    std::set<std::uint8_t> Used(B.begin() + 1064, B.end());
    EXPECT_GE(Used.size(), 2u) << Name;
  }
  EXPECT_TRUE(rtl::FindResource("TZIWGAuthClient").empty());  // names are upper case
}

TEST(Palette, RegisteredEntriesCarryTheirBitmaps) {
  rtl::ClearPalette();
  IWZelkAuthReg::Register();
  for (const auto& E : rtl::PaletteEntries()) {
    EXPECT_EQ(E.Bitmap.size(), 1640u) << E.ClassName;
    EXPECT_EQ(E.BitmapName, rtl::FindResource(E.BitmapName).empty() ? "" : E.BitmapName);
  }
  rtl::ClearPalette();
}

TEST(Palette, VersionIsTheLibrarysVersion) {
  EXPECT_EQ(IWZelkAuthReg::Version(), "1.0.0.0");
}

}  // namespace
}  // namespace zelk
