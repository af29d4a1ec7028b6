#include "platform/rtl/Palette.h"

#include <algorithm>
#include <mutex>

#include "platform/rtl/Resources.h"

namespace zelk::rtl {

namespace {

struct TPalette {
  std::mutex Mutex;
  std::vector<TPaletteEntry> Entries;
};

TPalette& ThePalette() {
  static TPalette P;
  return P;
}

std::string Upper(std::string S) {
  for (char& C : S)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return S;
}

}  // namespace

void RegisterComponents(const std::string& Page, const std::vector<std::string>& ClassNames) {
  auto& P = ThePalette();
  std::lock_guard L(P.Mutex);
  for (const auto& Name : ClassNames) {
    std::string Bitmap = Upper(Name);
    auto Bytes = FindResource(Bitmap);
    P.Entries.push_back({Page, Name, std::move(Bitmap), Bytes});
  }
}

std::vector<std::string> PalettePages() {
  auto& P = ThePalette();
  std::lock_guard L(P.Mutex);
  std::vector<std::string> Pages;
  for (const auto& E : P.Entries)
    if (std::find(Pages.begin(), Pages.end(), E.Page) == Pages.end()) Pages.push_back(E.Page);
  return Pages;
}

std::vector<TPaletteEntry> PaletteEntries(const std::string& Page) {
  auto& P = ThePalette();
  std::lock_guard L(P.Mutex);
  std::vector<TPaletteEntry> Out;
  for (const auto& E : P.Entries)
    if (Page.empty() || E.Page == Page) Out.push_back(E);
  return Out;
}

void ClearPalette() {
  auto& P = ThePalette();
  std::lock_guard L(P.Mutex);
  P.Entries.clear();
}

}  // namespace zelk::rtl
