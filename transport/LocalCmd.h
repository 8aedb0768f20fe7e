// A command whose reply comes from the local catalogue cache, not the network.
#pragma once

#include <string>

#include "transport/HttpCmd.h"

class CLocalCmd : public CHttpCmd {
 public:
  CLocalCmd(const OperationContext& context, const std::string& script);

  // Reads the cached reply and parses it like a reply just received. Returns
  // -1 when the cache file cannot be opened; `useKeyedCipher` is ignored.
  int Execute(int useKeyedCipher) override;
};
