#include "tls/TlsOptions.h"

namespace orvo {

namespace {

constexpr TSSLVersions kLegacyNegotiable{TSSLVersion::sslvSSLv2, TSSLVersion::sslvSSLv3,
                                         TSSLVersion::sslvTLSv1};

TSSLVersion OnlyMember(TSSLVersions aVersions) {
  for (const TSSLVersion v :
       {TSSLVersion::sslvSSLv2, TSSLVersion::sslvSSLv3, TSSLVersion::sslvTLSv1,
        TSSLVersion::sslvTLSv1_1, TSSLVersion::sslvTLSv1_2, TSSLVersion::sslvTLSv1_3}) {
    if (aVersions.Contains(v)) {
      return v;
    }
  }
  return TSSLVersion::sslvSSLv23;
}

} // namespace

void TLSOptions::SetMethod(TSSLVersion aMethod) {
  fMethod = aMethod;
  fSSLVersions = aMethod == TSSLVersion::sslvSSLv23 ? kLegacyNegotiable : TSSLVersions{aMethod};
}

void TLSOptions::SetSSLVersions(TSSLVersions aVersions) {
  const bool single = aVersions.Count() == 1 && !aVersions.Contains(TSSLVersion::sslvSSLv23);
  if (aVersions == TSSLVersions{TSSLVersion::sslvSSLv23}) {
    aVersions = kLegacyNegotiable;
  }
  aVersions.Exclude(TSSLVersion::sslvSSLv23);
  fSSLVersions = aVersions;
  fMethod = single ? OnlyMember(aVersions) : TSSLVersion::sslvSSLv23;
}

} // namespace orvo
