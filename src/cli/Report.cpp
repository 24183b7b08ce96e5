#include "cli/Report.h"

#include "certs/OpenSslPtr.h"

#include <QJsonArray>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <systemd/sd-journal.h>

#include <sys/uio.h>

#include <ctime>

namespace orvo::cli {

namespace {

QString NameText(const X509_NAME* aName) {
  const ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      X509_NAME_print_ex(bio.get(), aName, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return QString::fromUtf8(data, static_cast<qsizetype>(size));
}

QString TimeText(const ASN1_TIME* aTime) {
  std::tm tm{};
  if (aTime == nullptr || ASN1_TIME_to_tm(aTime, &tm) != 1) {
    return {};
  }
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return QString::fromLatin1(text);
}

QString SerialText(const X509* aCert) {
  const ssl::BIGNUMPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(aCert), nullptr));
  if (!bn) {
    return {};
  }
  char* hex = BN_bn2hex(bn.get());
  const QString text = QString::fromLatin1(hex).toUpper();
  OPENSSL_free(hex);
  return text;
}

QStringList DnsNames(const X509* aCert) {
  QStringList names;
  const ssl::GENERAL_NAMESPtr sans(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(aCert, NID_subject_alt_name, nullptr, nullptr)));
  if (!sans) {
    return names;
  }
  for (int i = 0; i < sk_GENERAL_NAME_num(sans.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(sans.get(), i);
    if (name->type == GEN_DNS) {
      const ASN1_IA5STRING* dns = name->d.dNSName;
      names << QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                 ASN1_STRING_length(dns));
    }
  }
  return names;
}

QJsonArray ToArray(const QStringList& aList) {
  return QJsonArray::fromStringList(aList);
}

} // namespace

CertificateFacts ReadCertificateFacts(const std::string& aPem) {
  CertificateFacts facts;
  const ssl::BIOPtr bio(BIO_new_mem_buf(aPem.data(), static_cast<int>(aPem.size())));
  const ssl::X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    return facts;
  }
  facts.known = true;
  facts.subject = NameText(X509_get_subject_name(cert.get()));
  facts.issuer = NameText(X509_get_issuer_name(cert.get()));
  facts.serial = SerialText(cert.get());
  facts.notBefore = TimeText(X509_get0_notBefore(cert.get()));
  facts.notAfter = TimeText(X509_get0_notAfter(cert.get()));
  if (const EVP_PKEY* key = X509_get0_pubkey(cert.get())) {
    const char* type = EVP_PKEY_get0_type_name(key);
    facts.keyType = type != nullptr ? QString::fromLatin1(type) : QString();
    facts.keyBits = EVP_PKEY_get_bits(key);
  }
  facts.names = DnsNames(cert.get());
  return facts;
}

QString ResultWord(int aExitCode) {
  switch (aExitCode) {
  case 0:
    return QStringLiteral("ok");
  case 1:
    return QStringLiteral("usage");
  case 2:
    return QStringLiteral("refused");
  case 3:
    return QStringLiteral("warnings");
  case 4:
    return QStringLiteral("not-written");
  case 5:
    return QStringLiteral("service-failed");
  default:
    return QStringLiteral("error");
  }
}

QJsonObject ToJson(const RunReport& aReport) {
  QJsonObject doc;
  doc[QStringLiteral("command")] = aReport.command;
  doc[QStringLiteral("result")] = ResultWord(aReport.exitCode);
  doc[QStringLiteral("exitCode")] = aReport.exitCode;
  if (aReport.certificate.known) {
    const CertificateFacts& c = aReport.certificate;
    doc[QStringLiteral("certificate")] = QJsonObject{
        {QStringLiteral("subject"), c.subject},   {QStringLiteral("issuer"), c.issuer},
        {QStringLiteral("serial"), c.serial},     {QStringLiteral("notBefore"), c.notBefore},
        {QStringLiteral("notAfter"), c.notAfter}, {QStringLiteral("keyType"), c.keyType},
        {QStringLiteral("keyBits"), c.keyBits},   {QStringLiteral("names"), ToArray(c.names)},
    };
  } else {
    doc[QStringLiteral("certificate")] = QJsonValue::Null;
  }
  doc[QStringLiteral("errors")] = ToArray(aReport.errors);
  doc[QStringLiteral("warnings")] = ToArray(aReport.warnings);
  doc[QStringLiteral("target")] =
      aReport.target.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(aReport.target);
  doc[QStringLiteral("filesWritten")] = ToArray(aReport.filesWritten);
  doc[QStringLiteral("backupFolder")] = aReport.backupFolder.isEmpty()
                                            ? QJsonValue(QJsonValue::Null)
                                            : QJsonValue(aReport.backupFolder);
  doc[QStringLiteral("service")] = aReport.service;
  return doc;
}

std::vector<std::string> JournalFields(const RunReport& aReport) {
  const QString result = ResultWord(aReport.exitCode);
  QString message =
      QStringLiteral("install of certificate %1 into %2: %3")
          .arg(aReport.certificate.serial.isEmpty() ? QStringLiteral("(none)")
                                                    : aReport.certificate.serial,
               aReport.target.isEmpty() ? QStringLiteral("(no target)") : aReport.target, result);
  if (!aReport.errors.isEmpty()) {
    message += QStringLiteral(" (") + aReport.errors.first() + QLatin1Char(')');
  }
  const auto field = [](const char* aName, const QString& aValue) {
    return std::string(aName) + "=" + aValue.toStdString();
  };
  return {
      field("MESSAGE", message),
      field("PRIORITY", aReport.exitCode == 0 ? QStringLiteral("6") : QStringLiteral("3")),
      field("SYSLOG_IDENTIFIER", QStringLiteral("orvo-cert-importer")),
      field("ORVO_CERT_SERIAL", aReport.certificate.serial),
      field("ORVO_CERT_EXPIRY", aReport.certificate.notAfter),
      field("ORVO_TARGET", aReport.target),
      field("ORVO_RESULT", result),
      field("ORVO_SERVICE", aReport.service),
  };
}

int SendToJournal(const std::vector<std::string>& aFields) {
  std::vector<iovec> vectors;
  vectors.reserve(aFields.size());
  for (const std::string& f : aFields) {
    vectors.push_back({const_cast<char*>(f.data()), f.size()});
  }
  return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
}

} // namespace orvo::cli
