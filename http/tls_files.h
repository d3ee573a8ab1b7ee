// Checks the HTTPS port's certificate and private key before the server is started, so that a
// bad file can be named with its fault instead of failing the whole start without a word.
#pragma once

#include <string>

namespace http {

// Empty when the PEM certificate chain and the PEM private key load and belong together;
// otherwise one line naming the file at fault and why (missing, unreadable, damaged, not
// matching).
std::string CheckTlsFiles(const std::string& certificateFile, const std::string& privateKeyFile);

}  // namespace http
