// The helpers' internals, for the library and its tests (not installed).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelk::IWZelkAuthBase {

namespace detail {
// The digest behind GenerateNonce: MD5 of Data as 32 upper-case hexadecimal digits.
std::string NonceDigest(std::string_view Data);
// Fills Buffer from the random source (the CSPRNG unless a test replaced it).
bool RandomBytes(std::uint8_t* Buffer, std::size_t Count);
std::chrono::system_clock::time_point Now();
}  // namespace detail

}  // namespace zelk::IWZelkAuthBase
