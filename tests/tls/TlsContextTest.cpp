// Building a TLS context from an option record: the failures of each step
// and the passphrase events. No sockets here.

#include "tls/TlsContext.h"

#include "support/TestPki.h"
#include "tls/TlsError.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace orvo {
namespace {

using enum TSSLVersion;

// The message of the ETLSError that building the context throws; "" when it
// builds.
std::string BuildFailure(TOpenSSLBinding& aBinding, const TLSOptions& aOptions,
                         TSSLMode aDefaultMode, TPassphraseEvents aEvents = {}) {
  try {
    const TTLSContext context(aBinding, aOptions, aDefaultMode, std::move(aEvents), "/nonexistent");
    return "";
  } catch (const ETLSError& e) {
    return e.what();
  }
}

bool StartsWith(const std::string& aText, const std::string& aPrefix) {
  return aText.rfind(aPrefix, 0) == 0;
}

struct ContextCase {
  const char* name;
  TSSLVersion method;
  TSSLMode defaultMode;
  const char* cipherList;
  const char* failure; // "" when the context builds
};

class TlsContextBuildTest : public ::testing::TestWithParam<ContextCase> {};

TEST_P(TlsContextBuildTest, FailsWithTheStepsMessage) {
  const ContextCase& c = GetParam();
  TLSOptions options;
  options.SetMethod(c.method);
  options.CipherList = c.cipherList;
  const std::string failure = BuildFailure(OpenSSLBinding(), options, c.defaultMode);
  if (std::string(c.failure).empty()) {
    EXPECT_EQ(failure, "");
  } else {
    EXPECT_TRUE(StartsWith(failure, c.failure)) << failure;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TlsContextBuildTest,
    ::testing::Values(
        ContextCase{"Tls12Server", sslvTLSv1_2, TSSLMode::sslmServer, "", ""},
        ContextCase{"Tls13Client", sslvTLSv1_3, TSSLMode::sslmClient, "", ""},
        ContextCase{"NegotiatingBoth", sslvSSLv23, TSSLMode::sslmBoth, "", ""},
        ContextCase{"Ssl3IsGone", sslvSSLv3, TSSLMode::sslmServer, "", "Error geting SSL method."},
        ContextCase{"Ssl2IsGone", sslvSSLv2, TSSLMode::sslmClient, "", "Error geting SSL method."},
        ContextCase{"NoMode", sslvTLSv1_2, TSSLMode::sslmUnassigned, "", "Mode has not been set."},
        ContextCase{"UnknownCiphers", sslvTLSv1_2, TSSLMode::sslmServer, "NO-SUCH-CIPHER",
                    "SetCipher failed.\r\nerror:"}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

TEST(TlsContextLibraryTest, MissingLibrariesGiveCouldNotLoadSslLibrary) {
  const test::TempDir emptyFolder;
  TOpenSSLBinding binding(SystemLibraries(emptyFolder.path()));
  EXPECT_EQ(BuildFailure(binding, TLSOptions{}, TSSLMode::sslmClient),
            "Could not load SSL library.");
}

// A server context reading a key encrypted with "kqzv" through the events.
class TlsContextPassphraseTest : public ::testing::Test {
protected:
  void SetUp() override {
    const test::TestCert server = test::TestPki::instance().server();
    test::writeCertPem(fFolder / "orvo.crt", server);
    test::writeKey(fFolder / "orvo.key", server, test::KeyFormat::PemPkcs8Encrypted, "kqzv");
    fOptions.SetMethod(sslvTLSv1_2);
    fOptions.CertFile = (fFolder / "orvo.crt").string();
    fOptions.KeyFile = (fFolder / "orvo.key").string();
  }
  std::string Build(TPassphraseEvents aEvents) {
    return BuildFailure(OpenSSLBinding(), fOptions, TSSLMode::sslmServer, std::move(aEvents));
  }

  test::TempDir fFolder;
  TLSOptions fOptions;
};

TEST_F(TlsContextPassphraseTest, ExtendedEventIsAskedFirstAndToldTheKeyIsRead) {
  std::vector<bool> writing;
  const std::string failure = Build({[&](bool aWriting) {
                                       writing.push_back(aWriting);
                                       return std::string("kqzv");
                                     },
                                     [] { return std::string("wrong"); }});
  EXPECT_EQ(failure, "");
  EXPECT_EQ(writing, std::vector<bool>{false});
}

TEST_F(TlsContextPassphraseTest, PlainEventAnswersWhenTheExtendedOneGivesNothing) {
  EXPECT_EQ(Build({[](bool) { return std::string(); }, [] { return std::string("kqzv"); }}), "");
}

TEST_F(TlsContextPassphraseTest, WrongOrFailingAnswersFailTheKeyWithOpenSSLsText) {
  for (TPassphraseEvents events :
       {TPassphraseEvents{{}, [] { return std::string("wrong"); }},
        TPassphraseEvents{{}, []() -> std::string { throw std::runtime_error("no answer"); }},
        TPassphraseEvents{}}) {
    const std::string failure = Build(std::move(events));
    EXPECT_TRUE(StartsWith(failure, "Could not load key, check password.\r\n")) << failure;
    EXPECT_GT(failure.size(), std::string("Could not load key, check password.\r\n").size());
  }
}

} // namespace
} // namespace orvo
