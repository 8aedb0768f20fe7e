// `--password-file`: the account password from a file that only its owner
// may read, as a service manager's credentials are kept.
#pragma once

#include <string>

namespace proxycli {

// The first line of `path` (without "\n" or "\r\n"). False with `error`
// set when the file cannot be read, is not a regular file, is larger than
// 4 KiB, holds an empty first line, or may be read or written by its group
// or by others.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error);

}  // namespace proxycli
