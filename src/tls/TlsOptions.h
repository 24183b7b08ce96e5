#pragma once
// Option record of one TLS layer (server or client side) and its protocol
// rules. Method and SSLVersions are coupled: setting one adjusts the other.
//
// OpenSSL 3 has neither SSL 2.0 nor SSL 3.0; those members stay so that a
// record asking for them fails visibly ("Error geting SSL method.") instead
// of silently negotiating something else. sslvTLSv1_3 is this program's
// addition for the protocol the loopback pair negotiates besides TLS 1.2.

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace orvo {

enum class TSSLVersion : std::uint8_t {
  sslvSSLv2,
  sslvSSLv23,
  sslvSSLv3,
  sslvTLSv1,
  sslvTLSv1_1,
  sslvTLSv1_2,
  sslvTLSv1_3,
};

enum class TSSLMode : std::uint8_t { sslmUnassigned, sslmClient, sslmServer, sslmBoth };

// Set of protocol versions.
class TSSLVersions {
public:
  constexpr TSSLVersions() = default;
  constexpr TSSLVersions(std::initializer_list<TSSLVersion> aVersions) {
    for (const TSSLVersion v : aVersions) {
      Include(v);
    }
  }
  constexpr void Include(TSSLVersion aVersion) { fBits |= Bit(aVersion); }
  constexpr void Exclude(TSSLVersion aVersion) {
    fBits &= static_cast<std::uint8_t>(~Bit(aVersion));
  }
  [[nodiscard]] constexpr bool Contains(TSSLVersion aVersion) const {
    return (fBits & Bit(aVersion)) != 0;
  }
  [[nodiscard]] constexpr int Count() const { return std::popcount(fBits); }
  constexpr bool operator==(const TSSLVersions&) const = default;

private:
  static constexpr std::uint8_t Bit(TSSLVersion aVersion) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(aVersion));
  }
  std::uint8_t fBits = 0;
};

// Peer-verification flags (OpenSSL's SSL_VERIFY_* values); 0 is the empty set.
using TSSLVerifyMode = int;

class TLSOptions {
public:
  std::string RootCertFile;
  std::string CertFile;
  std::string KeyFile;
  TSSLMode Mode = TSSLMode::sslmUnassigned;
  int VerifyDepth = 0;
  TSSLVerifyMode VerifyMode = 0;
  std::string VerifyDirs;
  std::string CipherList;

  [[nodiscard]] TSSLVersion Method() const { return fMethod; }
  [[nodiscard]] TSSLVersions SSLVersions() const { return fSSLVersions; }

  // Sets SSLVersions to the single matching version; sslvSSLv23 stands for
  // [sslvSSLv2, sslvSSLv3, sslvTLSv1].
  void SetMethod(TSSLVersion aMethod);
  // A single version other than sslvSSLv23 becomes the Method; any other set
  // makes Method sslvSSLv23. sslvSSLv23 itself is never kept in the set; on
  // its own it stands for [sslvSSLv2, sslvSSLv3, sslvTLSv1].
  void SetSSLVersions(TSSLVersions aVersions);

private:
  TSSLVersion fMethod = TSSLVersion::sslvTLSv1;
  TSSLVersions fSSLVersions{TSSLVersion::sslvTLSv1};
};

} // namespace orvo
