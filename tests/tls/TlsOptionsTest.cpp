#include "tls/TlsOptions.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

using enum TSSLVersion;

const TSSLVersions kLegacySet{sslvSSLv2, sslvSSLv3, sslvTLSv1};

TEST(TlsOptionsTest, NewRecordHoldsTlsV1) {
  const TLSOptions options;
  EXPECT_EQ(options.Method(), sslvTLSv1);
  EXPECT_EQ(options.SSLVersions(), TSSLVersions{sslvTLSv1});
}

struct MethodCase {
  const char* name;
  TSSLVersion method;
  TSSLVersions versions;
};

class SetMethodTest : public ::testing::TestWithParam<MethodCase> {};

TEST_P(SetMethodTest, SetsTheMatchingVersions) {
  TLSOptions options;
  options.SetMethod(GetParam().method);
  EXPECT_EQ(options.Method(), GetParam().method);
  EXPECT_EQ(options.SSLVersions(), GetParam().versions);
}

INSTANTIATE_TEST_SUITE_P(Methods, SetMethodTest,
                         ::testing::Values(MethodCase{"TLSv1_2", sslvTLSv1_2, {sslvTLSv1_2}},
                                           MethodCase{"TLSv1_3", sslvTLSv1_3, {sslvTLSv1_3}},
                                           MethodCase{"SSLv3", sslvSSLv3, {sslvSSLv3}},
                                           MethodCase{"SSLv23", sslvSSLv23, kLegacySet}),
                         [](const auto& aInfo) { return std::string(aInfo.param.name); });

struct VersionsCase {
  const char* name;
  TSSLVersions given;
  TSSLVersion method;
  TSSLVersions kept;
};

class SetSSLVersionsTest : public ::testing::TestWithParam<VersionsCase> {};

TEST_P(SetSSLVersionsTest, AdjustsTheMethod) {
  TLSOptions options;
  options.SetSSLVersions(GetParam().given);
  EXPECT_EQ(options.Method(), GetParam().method);
  EXPECT_EQ(options.SSLVersions(), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, SetSSLVersionsTest,
    ::testing::Values(
        VersionsCase{"SingleVersion", {sslvTLSv1_2}, sslvTLSv1_2, {sslvTLSv1_2}},
        VersionsCase{
            "TwoVersions", {sslvTLSv1_2, sslvTLSv1_3}, sslvSSLv23, {sslvTLSv1_2, sslvTLSv1_3}},
        VersionsCase{"SSLv23Alone", {sslvSSLv23}, sslvSSLv23, kLegacySet},
        VersionsCase{"SSLv23IsDropped", {sslvSSLv23, sslvTLSv1_2}, sslvSSLv23, {sslvTLSv1_2}},
        VersionsCase{"EmptySet", {}, sslvSSLv23, {}}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

} // namespace
} // namespace orvo
