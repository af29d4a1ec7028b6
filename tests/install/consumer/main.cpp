// Uses the installed headers and library: prints one encoded text and the version check.
#include <zelk/zelk.h>

#include <iostream>

int main() {
  const std::string Encoded = zelk::IWZelkAuthBase::URLEncode("a b&c");
  std::cout << Encoded << "\n";
  return Encoded == "a%20b%26c" ? 0 : 1;
}
