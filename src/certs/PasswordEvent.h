#pragma once
// The passphrase request handler shared by the certificate store and the file
// validator. A loader calls it with the bare file name (empty for pasted
// text), the passphrase variable (empty on the first request of one load,
// afterwards the previous answer) and whether the previous attempt failed.
// True: the loader tries the text now in `password`. False: the user
// cancelled and the load ends with false.

#include <functional>
#include <string>

namespace orvo {

using TPasswordEvent = std::function<bool(const std::string& aFileName, std::string& password,
                                          bool aWasWrongPassword)>;

} // namespace orvo
