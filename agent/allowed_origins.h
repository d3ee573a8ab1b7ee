// The web sites the user allows to use the agent besides its own page: the command line
// (--allow-origin URL, repeatable) and a file in the user's configuration folder,
// $XDG_CONFIG_HOME/webagent/allowed-origins (one origin a line, "#" starts a comment).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace agent {

inline constexpr char kAllowOriginOption[] = "--allow-origin";

// The origins of an allowed-origins file, normalised, in order. Each line that is not an origin
// adds a line to `problems` ("line N: ...") and is skipped.
std::vector<std::string> ParseAllowedOrigins(std::string_view text,
                                             std::vector<std::string>& problems);

// The values of "--allow-origin URL" and "--allow-origin=URL", normalised. Every other argument
// is left alone. A value that is not an origin, or a missing value, adds a line to `problems`.
std::vector<std::string> AllowedOriginsFromArguments(int argc, const char* const* argv,
                                                     std::vector<std::string>& problems);

// Where the file is: under $XDG_CONFIG_HOME when that is an absolute path, else under
// $HOME/.config; empty when neither is known. Arguments are the variables' values or null.
std::string AllowedOriginsFilePath(const char* xdgConfigHome, const char* home);

// The file's origins (when it exists) and the command line's, without repeats. Problems and the
// resulting list are reported on standard error.
std::vector<std::string> LoadAllowedOrigins(int argc, const char* const* argv);

}  // namespace agent
