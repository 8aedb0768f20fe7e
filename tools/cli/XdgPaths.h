// Where the tool keeps its files, after the XDG base directory convention:
// configuration in $XDG_CONFIG_HOME, the catalogue cache in $XDG_CACHE_HOME,
// the pushed keys in $XDG_STATE_HOME, each under "proxyhelper".
#pragma once

#include <string>

namespace proxycli {

// $HOME, else the password database's home of the current user; empty when
// neither is known.
std::string HomeDirectory();

// The base directory named by `variable` when it holds an absolute path
// (relative values are invalid by the convention and ignored), otherwise
// $HOME joined with `fallback` (".config", ".cache", ".local/state").
// Empty when there is no home either.
std::string XdgBaseDirectory(const char* variable, const char* fallback);

std::string DefaultConfigFile();      // <config>/proxyhelper/config.ini
std::string DefaultCacheDirectory();  // <cache>/proxyhelper
std::string DefaultStateDirectory();  // <state>/proxyhelper

// Creates `path` and its missing parents. A directory this call creates gets
// mode 0700 (the files hold session material); an existing one is left as it
// is. False with a message when the path cannot be made a directory, or when
// `path` itself is not the user's own or is writable by group or others.
bool MakePrivateDirectory(const std::string& path, std::string* error);

}  // namespace proxycli
