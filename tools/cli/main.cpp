// proxyhelper: the command-line client. Everything happens in the core
// library; this only connects it to the process's streams.
#include <unistd.h>

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "tools/cli/CliApp.h"
#include "tools/cli/ResultText.h"

int main(int argc, char** argv) {
  proxycli::Console console{std::cin,
                            std::cout,
                            std::cerr,
                            ::isatty(STDIN_FILENO) != 0,
                            ::isatty(STDOUT_FILENO) != 0,
                            ::isatty(STDERR_FILENO) != 0};
  try {
    return proxycli::RunCli(std::vector<std::string>(argv, argv + argc), console);
  } catch (const std::bad_alloc&) {
    // Copying the arguments failed before RunCli could report it.
    static const char kMessage[] = "proxyhelper: out of memory: reading the command line\n";
    const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    return proxycli::kExitRefused;
  }
}
