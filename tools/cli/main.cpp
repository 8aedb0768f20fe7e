// proxyhelper: the command-line client. Everything happens in the core
// library; this only connects it to the process's streams.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/CliApp.h"

int main(int argc, char** argv) {
  proxycli::Console console{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0,
                            ::isatty(STDOUT_FILENO) != 0};
  return proxycli::RunCli(std::vector<std::string>(argv, argv + argc), console);
}
