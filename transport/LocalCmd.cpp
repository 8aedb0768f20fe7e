#include "transport/LocalCmd.h"

#include "transport/CacheFile.h"

CLocalCmd::CLocalCmd(const std::string& script) : CHttpCmd(script, 80) {}

int CLocalCmd::Execute(int /*useKeyedCipher*/) {
  std::string cached;
  if (!ReadCacheFile(CacheFilePath(), cached)) return -1;
  // The whole file, not just its first line: a reply whose payload is broken
  // into lines must replay as completely as it decoded over the network.
  reply.swap(cached);
  return ParseReply();
}
