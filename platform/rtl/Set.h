// TSet<E>: a set over an enumeration whose values are 0 .. 63, the runtime's "set of E".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace zelk::rtl {

template <typename E>
class TSet {
  static_assert(std::is_enum_v<E>, "TSet is a set over an enumeration");

 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> Values) {
    for (E V : Values)
      Include(V);
  }

  constexpr bool Contains(E V) const { return (FBits & Bit(V)) != 0; }
  constexpr TSet& Include(E V) {
    FBits |= Bit(V);
    return *this;
  }
  constexpr TSet& Exclude(E V) {
    FBits &= ~Bit(V);
    return *this;
  }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr std::uint64_t Bits() const { return FBits; }
  static constexpr TSet FromBits(std::uint64_t Bits) {
    TSet S;
    S.FBits = Bits;
    return S;
  }

  constexpr TSet operator+(const TSet& O) const { return FromBits(FBits | O.FBits); }
  constexpr TSet operator-(const TSet& O) const { return FromBits(FBits & ~O.FBits); }
  constexpr TSet operator*(const TSet& O) const { return FromBits(FBits & O.FBits); }
  constexpr bool operator==(const TSet& O) const = default;

 private:
  static constexpr std::uint64_t Bit(E V) {
    return std::uint64_t{1} << static_cast<unsigned>(static_cast<std::underlying_type_t<E>>(V));
  }
  std::uint64_t FBits = 0;
};

}  // namespace zelk::rtl
