// The last HTTP attempt the library made, from its attempt trace, so that a
// transport failure can say which server was tried last and what happened
// there, in the words the library and the reference service use.
#pragma once

#include <string>

namespace proxycli {

// Starts recording (once per process; later calls do nothing).
void RecordAttempts();

// "127.0.0.1:8080: connect timeout", "a.example:443 (tls): http status 500";
// empty when no attempt was made.
std::string DescribeLastAttempt();

}  // namespace proxycli
