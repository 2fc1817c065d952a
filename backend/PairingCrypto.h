#pragma once

#include <string>

// The few OpenSSL primitives the service and its clients share.
namespace PairingCrypto {
std::string sha256(const std::string &bytes);        // 32 raw bytes
std::string toHex(const std::string &bytes);         // lower case, two digits per byte
std::string fromHex(const std::string &hex);         // empty when not even-length hex
int hexDigit(char c);                                // 0-15, or -1 for anything but a hex digit
std::string randomHex(std::size_t byteCount);        // from the system's secure source
bool equalConstantTime(const std::string &a, const std::string &b);
} // namespace PairingCrypto
