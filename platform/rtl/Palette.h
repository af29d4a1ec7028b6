// The designer's component palette: pages of component classes in registration order, each
// class shown with the bitmap resource named after it in upper case.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zelk::rtl {

struct TPaletteEntry {
  std::string Page;
  std::string ClassName;
  std::string BitmapName;                // the class name in upper case
  std::span<const std::uint8_t> Bitmap;  // empty when the library carries none
};

// Places the classes on Page after those already there. Thread-safe.
void RegisterComponents(const std::string& Page, const std::vector<std::string>& ClassNames);
// Pages in the order they were first used.
std::vector<std::string> PalettePages();
// Every registration, in order; Page filters when not empty.
std::vector<TPaletteEntry> PaletteEntries(const std::string& Page = {});
// Forgets every registration (a designer unloading packages; tests).
void ClearPalette();

}  // namespace zelk::rtl
