// Steps 1 and 2 of the real window: certificate from the stores, pasted text
// or a folder; the key from a file or pasted text.
#include "wizard/WizardFixture.h"

#include "certs/OrvoCertificate.h"
#include "ui/FrmSelectCertificate.h"
#include "ui/FrmSelectPrivateKey.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cstdlib>

namespace orvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using What = ModalCall::What;

const QString kUntrustedWarning =
    "    We could not determine if the issuer of your certificate is a trusted authority.";

class StepSourceTest : public WizardFixture {
protected:
  // Answers Yes to the warning question that every certificate of the test
  // PKI raises, since its root is not one the system trusts.
  void AcceptWarnings(int aCount = 1) {
    for (int i = 0; i < aCount; ++i) {
      modal.messageAnswers.push_back(ui::MbYes);
    }
  }
  static QString Display(const TestCert& aCert) {
    return QString::fromStdString("Certificate for " + CommonName(aCert) +
                                  " signed by Orvo Test - usable for server authentication");
  }
  static std::string CommonName(const TestCert& aCert) {
    char buffer[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(aCert.x509()), NID_commonName, buffer,
                              sizeof buffer);
    return buffer;
  }
};

TEST_F(StepSourceTest, EmptyStoresDisableTheStoreSourceAndSelectTheFolder) {
  Start();
  ASSERT_EQ(w->fActiveStep, 1);
  EXPECT_EQ(w->txtstepinfo->text(), "Step 1: Select Certificate Source");
  ASSERT_EQ(Page1().LBCerts->count(), 1);
  EXPECT_EQ(Page1().LBCerts->item(0)->text(),
            "No useful certificates found in Windows Certificate Store");
  EXPECT_FALSE(Page1().LBCerts->isEnabled());
  EXPECT_FALSE(Page1().RBCertStore->isEnabled());
  EXPECT_TRUE(Page1().RBDir->isChecked());
  EXPECT_EQ(w->LblVersion->text(), "Version v1.0.0 build 7");
}

TEST_F(StepSourceTest, MachineStoreCertificateWithItsKeySkipsStepTwo) {
  const TestCert server = pki.server("store.test.local");
  writeCertsPem(machineStore / "store.pem", {server, pki.intermediate()});
  writeKey(machineStore / "store.key", server, KeyFormat::PemRsa);
  Start();
  ASSERT_TRUE(Page1().RBCertStore->isChecked());
  ASSERT_GE(Page1().LBCerts->count(), 1);
  EXPECT_EQ(Page1().LBCerts->currentRow(), 0);
  AcceptWarnings();
  Next();
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_TRUE(w->fCertHasPrivateKey);
  EXPECT_EQ(w->fFrameSelectKey, nullptr);
}

// The user's NSS database, made with the NSS tools from a PKCS#12 file.
bool MakeUserDatabase(const Path& aDb, const Path& aPfx, const std::string& aPassword) {
  std::filesystem::create_directories(aDb);
  const std::string db = " -d sql:" + aDb.string() + " </dev/null >/dev/null 2>&1";
  return std::system(("certutil -N --empty-password" + db).c_str()) == 0 &&
         std::system(("pk12util -i " + aPfx.string() + " -W " + aPassword + db).c_str()) == 0;
}

TEST_F(StepSourceTest, UserCertificatesFollowTheMachineStoreAndBringTheirKey) {
  const TestCert machine = pki.server("machine.test.local");
  writeCertsPem(machineStore / "machine.pem", {machine, pki.intermediate()});
  CertSpec certSpec;
  certSpec.commonName = "user.test.local";
  certSpec.keySlot = 9;
  const TestCert user = pki.issue(certSpec);
  writePfx(tmp / "user.p12", user, "import", PfxOptions{.chain = {pki.intermediate()}});
  const Path db = tmp / "nssdb";
  if (!MakeUserDatabase(db, tmp / "user.p12", "import")) {
    GTEST_SKIP() << "the NSS tools (libnss3-tools) are not installed";
  }
  ::setenv("ORVO_USER_NSSDB", db.c_str(), 1);
  Start();
  ASSERT_EQ(Page1().LBCerts->count(), 2);
  EXPECT_EQ(Page1().LBCerts->item(0)->text(), Display(machine));
  EXPECT_EQ(Page1().LBCerts->item(1)->text(), Display(user));
  Page1().LBCerts->setCurrentRow(1);
  AcceptWarnings();
  Next();
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_EQ(w->fFrameSelectKey, nullptr);
  EXPECT_TRUE(w->BtnNext->isEnabled()); // the exported key proved to pair in step 3
}

TEST_F(StepSourceTest, StoresAreReadOnlyTheFirstTimeStepOneIsShown) {
  writeCertsPem(machineStore / "a.pem", {pki.server("a.test.local"), pki.intermediate()});
  Start();
  ASSERT_EQ(Page1().LBCerts->count(), 1);
  PasteCertificate(certPem(pki.server("pasted.test.local")));
  AcceptWarnings();
  Next();
  ASSERT_EQ(w->fActiveStep, 2);
  writeCertsPem(machineStore / "b.pem", {pki.server("b.test.local"), pki.intermediate()});
  Back();
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_EQ(Page1().LBCerts->count(), 1);
  // Filling the list selects the store source again.
  EXPECT_TRUE(Page1().RBCertStore->isChecked());
}

struct KeySizeCase {
  const char* name;
  int bits;
  bool passes;
  bool warns;
};

class KeySizeTest : public StepSourceTest, public ::testing::WithParamInterface<KeySizeCase> {};

TEST_P(KeySizeTest, KeySizeDecidesBetweenErrorWarningAndSilence) {
  CertSpec certSpec;
  certSpec.commonName = std::string("bits") + GetParam().name + ".test.local";
  certSpec.keyBits = GetParam().bits;
  const TestCert cert = pki.issue(certSpec);
  Start();
  PasteCertificate(certPem(cert));
  AcceptWarnings();
  Next();
  EXPECT_EQ(w->fActiveStep, GetParam().passes ? 2 : 1);
  const auto questions = modal.CallsOf(What::MessageBox);
  if (GetParam().passes) {
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].kind, ui::MsgKind::Warning);
    EXPECT_EQ(questions[0].buttons, ui::MbYes | ui::MbCancel);
    EXPECT_EQ(questions[0].text.contains("The key size is below 2048 bits(insecure!)."),
              GetParam().warns);
  } else {
    ASSERT_EQ(ErrorDialogs().size(), 1u);
    EXPECT_EQ(ErrorDialogs()[0].header, "Error verifying the provided certificate source");
    EXPECT_EQ(ErrorDialogs()[0].text, "the provided certificate(s) can not be used.");
    EXPECT_THAT(ErrorDialogs()[0].detail.toStdString(),
                HasSubstr("The key size is less than 1024 bits, causing browsers not to accept "
                          "the certificate (insecure!!).\r\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, KeySizeTest,
                         ::testing::Values(KeySizeCase{"1023", 1023, false, false},
                                           KeySizeCase{"1024", 1024, true, true},
                                           KeySizeCase{"2048", 2048, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Keys other than RSA are judged by their type, shown as the size findings are.
struct KeyTypeCase {
  const char* name;
  KeyType type;
  const char* warning; // nullptr: none besides the untrusted issuer
  const char* error;   // nullptr: the certificate passes
};

class KeyTypeTest : public StepSourceTest, public ::testing::WithParamInterface<KeyTypeCase> {};

TEST_P(KeyTypeTest, KeyTypeDecidesBetweenErrorWarningAndSilence) {
  CertSpec certSpec;
  certSpec.commonName = std::string("type") + GetParam().name + ".test.local";
  certSpec.keyType = GetParam().type;
  const TestCert cert = pki.issue(certSpec);
  Start();
  PasteCertificate(certPem(cert));
  AcceptWarnings();
  Next();
  if (GetParam().error == nullptr) {
    EXPECT_EQ(w->fActiveStep, 2);
    const QStringList texts = modal.MessageTexts();
    ASSERT_EQ(texts.size(), 1);
    const QString expected =
        "There are warnings for certificate(s): \r\n--> " + Display(cert) + "\r\n" +
        kUntrustedWarning +
        (GetParam().warning != nullptr ? QString("\r\n") + GetParam().warning : QString()) +
        "\r\nDo you want to proceed?";
    EXPECT_EQ(texts[0], expected);
  } else {
    EXPECT_EQ(w->fActiveStep, 1);
    ASSERT_EQ(ErrorDialogs().size(), 1u);
    EXPECT_EQ(ErrorDialogs()[0].text, "the provided certificate(s) can not be used.");
    EXPECT_THAT(ErrorDialogs()[0].detail.toStdString(),
                HasSubstr(std::string(GetParam().error) + "\r\n"));
    EXPECT_THAT(ErrorDialogs()[0].detail.toStdString(),
                ::testing::Not(HasSubstr("Error reading the public key size.")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, KeyTypeTest,
    ::testing::Values(
        KeyTypeCase{"EcP256", KeyType::EcP256, nullptr, nullptr},
        KeyTypeCase{"EcP384", KeyType::EcP384, nullptr, nullptr},
        KeyTypeCase{"EcP521", KeyType::EcP521,
                    "The key type EC P-521 is not accepted by common browsers.", nullptr},
        KeyTypeCase{"Ed25519", KeyType::Ed25519,
                    "The key type Ed25519 is not accepted by common browsers.", nullptr},
        KeyTypeCase{"Ed448", KeyType::Ed448,
                    "The key type Ed448 is not accepted by common browsers.", nullptr},
        KeyTypeCase{"RsaPss", KeyType::RsaPss, nullptr, nullptr},
        KeyTypeCase{"Dsa", KeyType::Dsa, nullptr, "The key type DSA is not supported."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StepSourceTest, WarningsAreListedOnePerLineAndCancelKeepsStepOne) {
  CertSpec certSpec;
  certSpec.commonName = "warned.test.local";
  certSpec.keyBits = 1024;
  const TestCert cert = pki.issue(certSpec);
  Start();
  PasteCertificate(certPem(cert));
  modal.messageAnswers.push_back(ui::MbCancel);
  Next();
  EXPECT_EQ(w->fActiveStep, 1);
  ASSERT_EQ(modal.MessageTexts().size(), 1);
  const QString expected =
      "There are warnings for certificate(s): \r\n--> " + Display(cert) + "\r\n" +
      kUntrustedWarning +
      "\r\nThe key size is below 2048 bits(insecure!).\r\nDo you want to proceed?";
  EXPECT_EQ(modal.MessageTexts()[0], expected);
  EXPECT_NE(w->fProvidedCert, nullptr); // replaced even though the user cancelled
}

TEST_F(StepSourceTest, PastedTextEmptyInvalidAndValid) {
  Start();
  PasteCertificate(" \r\n\t");
  Next();
  PasteCertificate("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
  Next();
  ASSERT_EQ(ErrorDialogs().size(), 2u);
  EXPECT_EQ(ErrorDialogs()[0].text, "No valid certificates could be found.");
  EXPECT_EQ(ErrorDialogs()[0].detail, "Reason(s):The pasted text is empty\r\n");
  EXPECT_EQ(ErrorDialogs()[1].detail,
            "Reason(s):The provided text is not a valid certificate.\r\n");
  EXPECT_EQ(w->fActiveStep, 1);

  PasteCertificate(certPem(pki.server("pasted.test.local")));
  AcceptWarnings();
  Next();
  EXPECT_EQ(w->fActiveStep, 2);
  EXPECT_FALSE(w->fCertHasPrivateKey);
}

TEST_F(StepSourceTest, FolderFieldEmptyOrMissing) {
  Start();
  ChooseFolderText("  ");
  Next();
  ChooseFolder(tmp / "does-not-exist");
  Next();
  ASSERT_EQ(modal.CallsOf(What::MessageBox).size(), 2u);
  EXPECT_EQ(modal.CallsOf(What::MessageBox)[0].kind, ui::MsgKind::Information);
  EXPECT_EQ(modal.MessageTexts(),
            QStringList({"Please select a directory", "The provided directory does not exist."}));
  EXPECT_TRUE(ErrorDialogs().empty());
}

TEST_F(StepSourceTest, SameCertificateAsCerAndPemGivesOneCandidate) {
  const TestCert server = pki.server("twice.test.local");
  const Path folder = tmp / "twice";
  std::filesystem::create_directories(folder);
  writeCertsPem(folder / "a.pem", {server, pki.intermediate(), pki.root()});
  writeCertDer(folder / "b.cer", server);
  Start();
  ChooseFolder(folder);
  AcceptWarnings();
  Next();
  EXPECT_TRUE(modal.CallsOf(What::ChooseCertificate).empty());
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepSourceTest, FolderWithoutCertificateFilesHasNoPerFileReasons) {
  const Path folder = tmp / "others";
  std::filesystem::create_directories(folder / "sub");
  writeFile(folder / "notes.doc", "hello");
  writeFile(folder / "readme.txt", "no marker here\n");
  writeCertPem(folder / "sub" / "hidden.pem", pki.server()); // sub-folders are not searched
  Start();
  ChooseFolder(folder);
  Next();
  ASSERT_EQ(ErrorDialogs().size(), 1u);
  EXPECT_EQ(ErrorDialogs()[0].text, "No valid certificates could be found.");
  EXPECT_EQ(ErrorDialogs()[0].detail,
            "Reason(s):the directory contains no valid certificates.\r\n");

  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  Next();
  EXPECT_EQ(ErrorDialogs().back().detail,
            "Reason(s):the directory does not contain any files.\r\n");
}

TEST_F(StepSourceTest, TxtFileWithLowerCaseMarkerCountsAndTypedFileNameSelectsItsFolder) {
  const TestCert server = pki.server("text.test.local");
  const Path folder = tmp / "text";
  std::filesystem::create_directories(folder);
  std::string pem = certPem(server) + certPem(pki.intermediate()) + certPem(pki.root());
  // The marker line in lower case still makes the .txt a certificate file for
  // the folder scan; loading decides whether it really is one.
  writeFile(folder / "cert.txt", "# -----begin certificate-----\n" + pem);
  Start();
  ChooseFolder(folder / "cert.txt");
  AcceptWarnings();
  Next();
  EXPECT_EQ(Page1().EdtDir->text().toStdString(), folder.string() + "/");
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepSourceTest, TwoCertificatesWithoutKeyOpenTheListAndCancelStaysSilently) {
  const Path folder = tmp / "two";
  std::filesystem::create_directories(folder);
  const TestCert first = pki.server("first.test.local");
  const TestCert second = pki.server("second.test.local");
  writeCertsPem(folder / "first.pem", {first, pki.intermediate(), pki.root()});
  writeCertsPem(folder / "second.pem", {second, pki.intermediate(), pki.root()});
  Start();
  ChooseFolder(folder);
  Next();
  ASSERT_EQ(modal.CallsOf(What::ChooseCertificate).size(), 1u);
  EXPECT_EQ(modal.CallsOf(What::ChooseCertificate)[0].lines.size(), 2);
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_TRUE(modal.CallsOf(What::MessageBox).empty());
  EXPECT_TRUE(ErrorDialogs().empty());

  const QStringList lines = modal.CallsOf(What::ChooseCertificate)[0].lines;
  const int secondIndex = lines.indexOf(Display(second));
  ASSERT_GE(secondIndex, 0);
  modal.choiceAnswers.push_back({true, secondIndex});
  AcceptWarnings();
  Next();
  EXPECT_EQ(w->fActiveStep, 2);
  ASSERT_NE(w->fProvidedCert, nullptr);
  EXPECT_EQ(w->fProvidedCert->SerialNumber(), second.serialHex());
}

TEST_F(StepSourceTest, KeyFileThatPairsWithTheSecondCertificateSkipsTheListAndStepTwo) {
  const Path folder = tmp / "paired";
  std::filesystem::create_directories(folder);
  CertSpec certSpec;
  certSpec.commonName = "unpaired.test.local";
  certSpec.keySlot = 7;
  writeCertsPem(folder / "a.pem", {pki.issue(certSpec), pki.intermediate(), pki.root()});
  const TestCert paired = pki.server("paired.test.local");
  writeCertsPem(folder / "b.pem", {paired, pki.intermediate(), pki.root()});
  writeKey(folder / "b.key", paired, KeyFormat::PemPkcs8);
  Start();
  ChooseFolder(folder);
  AcceptWarnings();
  Next();
  EXPECT_TRUE(modal.CallsOf(What::ChooseCertificate).empty());
  EXPECT_EQ(w->fProvidedCert->SerialNumber(), paired.serialHex());
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_EQ(w->fFrameSelectKey, nullptr);
}

TEST_F(StepSourceTest, PfxInAFolderAsksAgainAfterAWrongPassphrase) {
  const Path folder = tmp / "pfx";
  std::filesystem::create_directories(folder);
  const TestCert server = pki.server("pfx.test.local");
  writePfx(folder / "server.pfx", server, "right",
           PfxOptions{.chain = {pki.intermediate(), pki.root()}});
  Start();
  ChooseFolder(folder);
  modal.passphraseAnswers = {{true, "wrong"}, {true, "right"}};
  AcceptWarnings();
  Next();
  const auto asks = modal.CallsOf(What::Passphrase);
  ASSERT_EQ(asks.size(), 2u);
  EXPECT_EQ(asks[0].passphrase.fileName, "server.pfx");
  EXPECT_FALSE(asks[0].passphrase.wasWrongPassword);
  EXPECT_TRUE(asks[1].passphrase.wasWrongPassword);
  EXPECT_EQ(w->fActiveStep, 3);
}

class StepKeyTest : public StepSourceTest {
protected:
  // Step 2 for a pasted server certificate.
  void ReachStepTwo(const TestCert& aCert) {
    Start();
    PasteCertificate(certPem(aCert));
    AcceptWarnings();
    Next();
    ASSERT_EQ(w->fActiveStep, 2);
    modal.Clear();
  }
  const QString kFileReason = "Could not read the private key from the provided filename. The "
                              "file format is unknown or the passphrase is not valid.";
};

TEST_F(StepKeyTest, BlankFileNameOnlyTellsTheUser) {
  ReachStepTwo(pki.server());
  EXPECT_EQ(w->txtstepinfo->text(), "Step 2: Provide the Private Key for the Certificate");
  ChooseKeyFile(" ");
  Next();
  EXPECT_EQ(modal.MessageTexts(),
            QStringList({"Select a file or paste a text that contains the private key for the "
                         "selected certificate."}));
  EXPECT_TRUE(ErrorDialogs().empty());
  PasteKey("\n");
  Next();
  EXPECT_EQ(modal.MessageTexts().last(), "Paste a text or select a file that contains the "
                                         "private key for the selected certificate.");
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepKeyTest, MissingFileAndCancelledPassphraseGiveTheFileReason) {
  const TestCert server = pki.server();
  ReachStepTwo(server);
  ChooseKeyFile(tmp / "missing.key");
  Next();
  ASSERT_EQ(ErrorDialogs().size(), 1u);
  EXPECT_EQ(ErrorDialogs()[0].header, "Error verifying the provided private key source.");
  EXPECT_EQ(ErrorDialogs()[0].text, "No valid private key could be found.");
  EXPECT_EQ(ErrorDialogs()[0].detail, "Reason(s):" + kFileReason + "\r\n");

  writeKey(tmp / "enc.key", server, KeyFormat::PemRsaEncrypted, "secret");
  ChooseKeyFile(tmp / "enc.key");
  modal.passphraseAnswers = {{true, "wrong"}, {false, {}}};
  Next();
  const auto asks = modal.CallsOf(What::Passphrase);
  ASSERT_EQ(asks.size(), 2u);
  EXPECT_EQ(asks[0].passphrase.fileName, "enc.key");
  EXPECT_TRUE(asks[1].passphrase.wasWrongPassword);
  EXPECT_EQ(ErrorDialogs().back().detail, "Reason(s):" + kFileReason + "\r\n");
  EXPECT_EQ(w->fProvidedKey, nullptr);
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepKeyTest, NoKeyOrAKeyOfAnUnsupportedTypeIsNamedWithoutAPassphraseDialog) {
  const TestCert server = pki.server();
  ReachStepTwo(server);
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(server.pkey(), &der);
  ASSERT_GT(len, 0);
  writeFile(tmp / "public.key",
            std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len)));
  OPENSSL_free(der);
  ChooseKeyFile(tmp / "public.key");
  Next();
  ASSERT_EQ(ErrorDialogs().size(), 1u);
  EXPECT_EQ(ErrorDialogs()[0].detail,
            QString::fromStdString("Reason(s):File '" + (tmp / "public.key").string() +
                                   "' holds a public key, not a private key.\r\n"));

  writeFile(tmp / "notes.txt", "nothing of use\n");
  ChooseKeyFile(tmp / "notes.txt");
  Next();
  EXPECT_EQ(ErrorDialogs().back().detail,
            QString::fromStdString("Reason(s):File '" + (tmp / "notes.txt").string() +
                                   "' is not a private key.\r\n"));

  PasteKey(keyText(pki.key(KeyType::Dsa).get(), KeyFormat::PemPkcs8));
  Next();
  EXPECT_EQ(ErrorDialogs().back().detail, "Reason(s):The key type DSA is not supported.\r\n");
  EXPECT_TRUE(modal.CallsOf(What::Passphrase).empty());
  EXPECT_EQ(w->fProvidedKey, nullptr);
  EXPECT_EQ(w->fActiveStep, 2);
}

// An EC certificate with its key given in step 2 in each form passes step 3.
struct EcKeyCase {
  const char* name;
  KeyFormat format;
  bool pasted;
  bool encrypted;
};

class EcKeyStepTest : public StepKeyTest, public ::testing::WithParamInterface<EcKeyCase> {};

TEST_P(EcKeyStepTest, KeyIsReadAndStepThreePasses) {
  CertSpec certSpec;
  certSpec.commonName = "ec.test.local";
  certSpec.keyType = KeyType::EcP256;
  const TestCert cert = pki.issue(certSpec);
  ReachStepTwo(cert);
  const std::string password = GetParam().encrypted ? "secret" : "";
  if (GetParam().pasted) {
    PasteKey(keyText(cert.pkey(), GetParam().format, password));
  } else {
    writeKey(tmp / "ec.key", cert, GetParam().format, password);
    ChooseKeyFile(tmp / "ec.key");
  }
  if (GetParam().encrypted) {
    modal.passphraseAnswers = {{true, "secret"}};
  }
  Next();
  EXPECT_EQ(modal.CallsOf(What::Passphrase).size(), GetParam().encrypted ? 1u : 0u);
  ASSERT_EQ(w->fActiveStep, 3)
      << (ErrorDialogs().empty() ? QString() : ErrorDialogs()[0].detail).toStdString();
  EXPECT_TRUE(w->BtnNext->isEnabled());
  EXPECT_TRUE(ErrorDialogs().empty()) << ErrorDialogs()[0].detail.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EcKeyStepTest,
    ::testing::Values(EcKeyCase{"Sec1File", KeyFormat::PemSec1, false, false},
                      EcKeyCase{"Pkcs8File", KeyFormat::PemPkcs8, false, false},
                      EcKeyCase{"DerFile", KeyFormat::DerSec1, false, false},
                      EcKeyCase{"EncryptedPkcs8File", KeyFormat::PemPkcs8Encrypted, false, true},
                      EcKeyCase{"Sec1Pasted", KeyFormat::PemSec1, true, false},
                      EcKeyCase{"EncryptedPkcs8Pasted", KeyFormat::PemPkcs8Encrypted, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StepKeyTest, PastedEncryptedKeyAsksWithoutAFileName) {
  const TestCert server = pki.server();
  ReachStepTwo(server);
  PasteKey(keyText(server.pkey(), KeyFormat::PemPkcs8Encrypted, "secret"));
  modal.passphraseAnswers = {{true, "secret"}};
  Next();
  ASSERT_EQ(modal.CallsOf(What::Passphrase).size(), 1u);
  EXPECT_EQ(modal.CallsOf(What::Passphrase)[0].passphrase.fileName, "");
  EXPECT_NE(w->fProvidedKey, nullptr);
  EXPECT_EQ(w->fActiveStep, 3);
}

TEST_F(StepKeyTest, KeyOfAnotherCertificateIsAcceptedHereAndRejectedInStepThree) {
  const TestCert server = pki.server();
  ReachStepTwo(server);
  CertSpec other;
  other.keySlot = 8;
  PasteKey(keyText(pki.issue(other).pkey(), KeyFormat::PemRsa));
  Next();
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_FALSE(w->BtnNext->isEnabled());
  ASSERT_EQ(ErrorDialogs().size(), 1u);
  EXPECT_EQ(ErrorDialogs()[0].detail, "Reason(s):the public key of the certificate and the "
                                      "provided private key are not a pair.");
  EXPECT_TRUE(DataFiles().empty()); // no scratch files were written

  Back(); // the page keeps its inputs
  EXPECT_EQ(w->fActiveStep, 2);
  EXPECT_FALSE(Page2().MClipboard->toPlainText().isEmpty());
}

} // namespace
} // namespace orvo::test
