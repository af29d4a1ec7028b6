// Build-time tool: turns the palette art files (design/art/*.txt) into device-independent
// bitmaps embedded in the library as a generated C++ source.
//
//   zelk_bitmap_generator <output.cpp> <art file>...
//
// Each art file names its colours ("colors:" then one "<char> <rrggbb>" per line) and gives 24
// rows of 24 characters ("pixels:", top row first). The bitmap is a 40-byte information header,
// a 256-entry colour table and 576 pixel bytes stored bottom-up: 1,640 bytes. The resource is
// named after the file (its base name without extension).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kSize = 24;

void Put16(std::vector<std::uint8_t>& B, unsigned V) {
  B.push_back(static_cast<std::uint8_t>(V & 0xFF));
  B.push_back(static_cast<std::uint8_t>((V >> 8) & 0xFF));
}

void Put32(std::vector<std::uint8_t>& B, std::uint32_t V) {
  Put16(B, V & 0xFFFF);
  Put16(B, V >> 16);
}

// An art file as read: the colours in the order named, and the rows top row first.
struct TArt {
  std::map<char, int> Index;
  std::vector<std::uint32_t> Colors;
  std::vector<std::string> Rows;
};

// Reads one line of the "colors:" or "pixels:" section into Art; Where starts its messages.
void ReadArtLine(const std::string& Line, bool InColors, const std::string& Where, TArt& Art) {
  if (InColors) {
    if (Line.size() != 8 || Line[1] != ' ') throw std::runtime_error(Where + "expected 'c rrggbb'");
    if (Art.Index.count(Line[0])) throw std::runtime_error(Where + "colour defined twice");
    if (Art.Colors.size() == 256) throw std::runtime_error(Where + "more than 256 colours");
    Art.Index[Line[0]] = static_cast<int>(Art.Colors.size());
    Art.Colors.push_back(static_cast<std::uint32_t>(std::stoul(Line.substr(2), nullptr, 16)));
    return;
  }
  if (static_cast<int>(Line.size()) != kSize)
    throw std::runtime_error(Where + "a row has 24 pixels");
  for (char C : Line)
    if (!Art.Index.count(C)) throw std::runtime_error(Where + "undefined colour '" + C + "'");
  Art.Rows.push_back(Line);
}

TArt ReadArt(const std::string& Path) {
  std::ifstream In(Path);
  if (!In) throw std::runtime_error(Path + ": cannot open");
  TArt Art;
  std::string Line;
  enum { None, InColors, InPixels } Section = None;
  int LineNo = 0;
  while (std::getline(In, Line)) {
    ++LineNo;
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.empty() || Line[0] == '#') continue;
    if (Line == "colors:" || Line == "pixels:") {
      Section = Line == "colors:" ? InColors : InPixels;
      continue;
    }
    const std::string Where = Path + ":" + std::to_string(LineNo) + ": ";
    if (Section == None) throw std::runtime_error(Where + "expected 'colors:' or 'pixels:'");
    ReadArtLine(Line, Section == InColors, Where, Art);
  }
  if (static_cast<int>(Art.Rows.size()) != kSize)
    throw std::runtime_error(Path + ": needs 24 rows");
  return Art;
}

std::vector<std::uint8_t> Convert(const std::string& Path) {
  TArt Art = ReadArt(Path);
  std::vector<std::uint8_t> B;
  Put32(B, 40);             // header size
  Put32(B, kSize);          // width
  Put32(B, kSize);          // height: positive, rows stored bottom-up
  Put16(B, 1);              // planes
  Put16(B, 8);              // bits per pixel
  Put32(B, 0);              // uncompressed
  Put32(B, kSize * kSize);  // image size: 24-byte rows need no padding
  Put32(B, 0);              // horizontal resolution
  Put32(B, 0);              // vertical resolution
  Put32(B, 256);            // colours used: the whole table
  Put32(B, 0);              // all colours important
  for (int I = 0; I < 256; ++I) {
    const std::uint32_t C =
        I < static_cast<int>(Art.Colors.size()) ? Art.Colors[static_cast<std::size_t>(I)] : 0;
    B.push_back(static_cast<std::uint8_t>(C & 0xFF));          // blue
    B.push_back(static_cast<std::uint8_t>((C >> 8) & 0xFF));   // green
    B.push_back(static_cast<std::uint8_t>((C >> 16) & 0xFF));  // red
    B.push_back(0);
  }
  for (int Y = kSize - 1; Y >= 0; --Y)
    for (char C : Art.Rows[static_cast<std::size_t>(Y)])
      B.push_back(static_cast<std::uint8_t>(Art.Index[C]));
  return B;
}

std::string BaseName(const std::string& Path) {
  std::string N = Path.substr(Path.find_last_of('/') + 1);
  return N.substr(0, N.find('.'));
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc < 3) {
    std::cerr << "usage: zelk_bitmap_generator <output.cpp> <art file>...\n";
    return 2;
  }
  try {
    std::ostringstream Out;
    Out << "// Generated from design/art by zelk_bitmap_generator; edit the art, not this file.\n"
        << "#include \"platform/rtl/ResourcesDetail.h\"\n\nnamespace zelk::rtl::detail "
           "{\n\nnamespace "
           "{\n";
    std::vector<std::string> Names;
    for (int I = 2; I < Argc; ++I) {
      const std::vector<std::uint8_t> B = Convert(Argv[I]);
      Names.push_back(BaseName(Argv[I]));
      Out << "const unsigned char k" << Names.back() << "[] = {";
      for (std::size_t J = 0; J < B.size(); ++J)
        Out << (J % 20 == 0 ? "\n    " : " ") << static_cast<unsigned>(B[J]) << ",";
      Out << "\n};\n";
    }
    Out << "}  // namespace\n\nconst std::vector<TResource>& EmbeddedResources() {\n"
        << "  static const std::vector<TResource> R = {\n";
    for (const auto& N : Names)
      Out << "      {\"" << N << "\", std::span<const std::uint8_t>(k" << N << ", sizeof k" << N
          << ")},\n";
    Out << "  };\n  return R;\n}\n\n}  // namespace zelk::rtl::detail\n";
    std::ofstream F(Argv[1], std::ios::binary);
    F << Out.str();
    if (!F) throw std::runtime_error(std::string(Argv[1]) + ": cannot write");
  } catch (const std::exception& E) {
    std::cerr << "zelk_bitmap_generator: " << E.what() << "\n";
    return 1;
  }
  return 0;
}
