// zelk-palette: what the designer would show of the library.
//
//   zelk-palette list                   the palette page, its classes and their bitmaps
//   zelk-palette bitmap CLASS FILE.bmp  writes the class's palette bitmap as a .bmp file
//   zelk-palette skeleton CLASS         prints a form file with one component of CLASS and
//                                       every published property at its default
//   zelk-palette version
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "platform/rtl/Palette.h"
#include "platform/rtl/StringList.h"

namespace {

using namespace zelk;

int Usage() {
  std::cerr << "usage: zelk-palette list | bitmap CLASS FILE.bmp | skeleton CLASS | version\n";
  return 2;
}

const rtl::TPaletteEntry* FindEntry(const std::vector<rtl::TPaletteEntry>& Entries,
                                    const std::string& Class) {
  for (const auto& E : Entries)
    if (rtl::SameText(E.ClassName, Class)) return &E;
  return nullptr;
}

void Put32(std::ostream& O, std::uint32_t V) {
  for (int I = 0; I < 4; ++I)
    O.put(static_cast<char>((V >> (8 * I)) & 0xFF));
}

int WriteBitmap(const rtl::TPaletteEntry& E, const std::string& Path) {
  if (E.Bitmap.empty()) {
    std::cerr << "zelk-palette: no bitmap for " << E.ClassName << "\n";
    return 1;
  }
  std::ofstream O(Path, std::ios::binary);
  // A .bmp file is the device-independent bitmap behind a 14-byte file header.
  const std::uint32_t Offset = 14 + 40 + 1024;
  O.put('B');
  O.put('M');
  Put32(O, static_cast<std::uint32_t>(14 + E.Bitmap.size()));
  Put32(O, 0);
  Put32(O, Offset);
  O.write(reinterpret_cast<const char*>(E.Bitmap.data()),
          static_cast<std::streamsize>(E.Bitmap.size()));
  if (!O) {
    std::cerr << "zelk-palette: cannot write " << Path << "\n";
    return 1;
  }
  std::cout << "wrote " << Path << " (" << 14 + E.Bitmap.size() << " bytes)\n";
  return 0;
}

int Skeleton(const std::string& Class) {
  auto Info = rtl::TClassRegistry::FindClass(Class);
  if (!Info || !Info->Create) {
    std::cerr << "zelk-palette: unknown component class " << Class << "\n";
    return 1;
  }
  rtl::TComponent Form(nullptr);
  rtl::TComponent* C = Info->Create(&Form);
  // Every published property with its default, in declaration order, so the skeleton shows
  // what can be set.
  using OJ = nlohmann::ordered_json;
  auto Value = [](const nlohmann::json& V) { return OJ::parse(V.dump()); };
  OJ Props = OJ::object();
  for (const auto& P : rtl::TClassRegistry::PublishedProperties(Class)) {
    using enum rtl::TPropertyKind;
    if (P.Kind == pkEvent) continue;
    if (P.Kind == pkComponent) {
      Props[P.Name] = nullptr;
    } else if (P.Kind == pkObject) {
      OJ Sub = OJ::object();
      for (const auto& Q : rtl::TClassRegistry::PublishedProperties(P.ClassName))
        if (Q.Get) Sub[Q.Name] = Value(Q.Get(P.Object(C)));
      Props[P.Name] = Sub;
    } else if (P.Kind == pkCollection) {
      OJ Item = OJ::object();
      for (const auto& Q : rtl::TClassRegistry::PublishedProperties(P.ClassName))
        if (Q.Default) Item[Q.Name] = Value(*Q.Default);
      Props[P.Name] = OJ::array({Item});
    } else if (P.Get) {
      Props[P.Name] = Value(P.Get(C));
    }
  }
  OJ Component = OJ::object();
  Component["class"] = Class;
  Component["name"] = Class.substr(1);
  Component["properties"] = Props;
  OJ Doc = OJ::object();
  Doc["components"] = OJ::array({Component});
  std::cout << Doc.dump(2) << "\n";
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc < 2) return Usage();
  const std::string Command = Argv[1];
  try {
    IWZelkAuthReg::Register();
    const auto Entries = rtl::PaletteEntries();
    if (Command == "version" && Argc == 2) {
      std::cout << IWZelkAuthReg::Version() << "\n";
      return 0;
    }
    if (Command == "list" && Argc == 2) {
      for (const auto& Page : rtl::PalettePages()) {
        std::cout << Page << "\n";
        for (const auto& E : rtl::PaletteEntries(Page))
          std::cout << "  " << E.ClassName << "  bitmap " << E.BitmapName << " (" << E.Bitmap.size()
                    << " bytes)\n";
      }
      return 0;
    }
    if (Command == "bitmap" && Argc == 4) {
      const auto* E = FindEntry(Entries, Argv[2]);
      if (E == nullptr) {
        std::cerr << "zelk-palette: " << Argv[2] << " is not on the palette\n";
        return 1;
      }
      return WriteBitmap(*E, Argv[3]);
    }
    if (Command == "skeleton" && Argc == 3) return Skeleton(Argv[2]);
  } catch (const std::exception& E) {
    std::cerr << "zelk-palette: " << E.what() << "\n";
    return 1;
  }
  return Usage();
}
