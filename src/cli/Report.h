#pragma once
// What the command line reports about a run: the certificate's facts, the
// JSON document of --json and the entry for the system journal.

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace orvo::cli {

// Facts of a certificate, read from its PEM form with OpenSSL.
struct CertificateFacts {
  bool known = false;
  QString subject;
  QString issuer;
  QString serial;    // upper-case hex, as the wizard shows it
  QString notBefore; // ISO 8601, UTC
  QString notAfter;
  QString keyType; // "RSA", "EC", "ED25519", ...
  int keyBits = 0;
  QStringList names; // DNS names of the subject alternative names
};

CertificateFacts ReadCertificateFacts(const std::string& aPem);

struct RunReport {
  QString command; // "check" or "install"
  int exitCode = 0;
  CertificateFacts certificate;
  QStringList errors;
  QStringList warnings;
  QString target;
  QStringList filesWritten;
  QString backupFolder;
  QString service; // "not-offered", "not-found", "declined", "running", ...
};

// The word of an exit code in the JSON document and the journal.
QString ResultWord(int aExitCode);

QJsonObject ToJson(const RunReport& aReport);

// One journal entry: "FIELD=value" strings, MESSAGE first.
std::vector<std::string> JournalFields(const RunReport& aReport);

// Sends the fields to the journal; returns 0 or a negative errno.
using JournalSink = std::function<int(const std::vector<std::string>&)>;
int SendToJournal(const std::vector<std::string>& aFields);

} // namespace orvo::cli
