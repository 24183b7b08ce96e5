#pragma once
// The one table that maps the OpenSSL 1.0 entry points this program was
// designed against to the names OpenSSL 3 exports.
//
// Why a table: the TLS self-test loads OpenSSL at run time and looks every
// entry point up by name. Many 1.0 names became macros, were renamed or were
// dropped because OpenSSL now does the work itself (thread locking, clean-up
// at exit). Each row says which OpenSSL 3 name stands in for a 1.0 name, or
// why none is needed. Rows with an empty legacy name are OpenSSL 3 calls that
// replace a 1.0 macro over a generic control call.

#include <span>
#include <string_view>

namespace orvo {

enum class TOpenSSLLibrary { Crypto, Tls };

enum class TEntryPointNeed {
  Required,
  Optional,
  // ERR_remove_state: looked up only when ERR_remove_thread_state is missing,
  // and then required.
  RequiredWithoutRemoveThreadState,
};

struct TEntryPointName {
  TOpenSSLLibrary library;
  std::string_view legacyName;  // the 1.0 name; empty for rows added for OpenSSL 3
  std::string_view currentName; // the name looked up; empty when dropped
  TEntryPointNeed need;
  std::string_view why; // reason for a rename or a drop; empty when unchanged
};

// Every row, in load order: required TLS-library entry points, required
// crypto-library ones, those with a second name, optional ones, conditional ones.
[[nodiscard]] std::span<const TEntryPointName> EntryPointNames();

} // namespace orvo
