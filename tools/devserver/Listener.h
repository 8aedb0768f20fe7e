// One listen address of the development server, served on its own thread.
#pragma once

#include <string>

namespace devserver {

class Listener {
 public:
  virtual ~Listener() = default;

  // Binds host:port (port 0: any free port) and starts serving. On failure
  // nothing stays bound and `error` says why, without the address (the
  // caller names it): "Address already in use".
  virtual bool Start(const std::string& host, int port, std::string* error) = 0;
  // The bound port, once Start succeeded.
  virtual int port() const = 0;
  // Closes the port and every connection; returns once the serving thread
  // has ended. Safe to call more than once.
  virtual void Stop() = 0;
};

}  // namespace devserver
