#include "transport/LocalCmd.h"

#include "transport/CacheFile.h"

CLocalCmd::CLocalCmd(const OperationContext& context, const std::string& script)
    : CHttpCmd(context, script, 80) {}

int CLocalCmd::Execute(int /*useKeyedCipher*/) {
  std::string cached;
  // A cache file never holds more than a reply body may; anything larger,
  // or anything but a regular file, was not written by us.
  if (!ReadCacheFile(CacheFilePath(), cached, MaxReplyBodyBytes())) return -1;
  // The whole file, not just its first line: a reply whose payload is broken
  // into lines must replay as completely as it decoded over the network.
  reply.swap(cached);
  return ParseReply();
}
