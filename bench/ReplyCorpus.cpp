#include "bench/ReplyCorpus.h"

#include <limits>
#include <map>
#include <utility>

#include "bench/ServiceProcess.h"
#include "tools/devserver/Catalogue.h"
#include "tools/devserver/ProfileText.h"
#include "wire/Reply.h"

namespace bench {
namespace {

constexpr std::size_t kNeverCompress = std::numeric_limits<std::size_t>::max();

std::string BuildCatalogueText(int servers) {
  devserver::ProfileText reply(0, std::string());
  for (const devserver::ServerGroup& group : devserver::GenerateCatalogue(servers)) {
    reply.BeginSection(group.name);
    for (const devserver::VpnServer& server : group.servers) {
      reply.AddItem(std::to_string(server.id), devserver::FormatServerEntry(server));
    }
  }
  return reply.text();
}

}  // namespace

const std::string& CatalogueProfileText(int servers) {
  static std::map<int, std::string>* texts = new std::map<int, std::string>;
  auto it = texts->find(servers);
  if (it == texts->end()) it = texts->emplace(servers, BuildCatalogueText(servers)).first;
  return it->second;
}

const std::string& ProfileTextOfSize(std::size_t bytes) {
  static std::map<std::size_t, std::string>* texts = new std::map<std::size_t, std::string>;
  auto it = texts->find(bytes);
  if (it != texts->end()) return it->second;
  // Catalogue lines repeat with a pattern bzip2 sees through about as well
  // as it sees through a real catalogue; grow until the size is covered.
  int servers = 16;
  std::string text = BuildCatalogueText(servers);
  while (text.size() < bytes) {
    servers *= 2;
    text = BuildCatalogueText(servers);
  }
  text.resize(bytes);
  return texts->emplace(bytes, std::move(text)).first->second;
}

const std::string& FramedReply(std::size_t bytes, Framing framing) {
  static std::map<std::pair<std::size_t, Framing>, std::string>* replies =
      new std::map<std::pair<std::size_t, Framing>, std::string>;
  const auto key = std::make_pair(bytes, framing);
  auto it = replies->find(key);
  if (it != replies->end()) return it->second;
  const std::string& text = ProfileTextOfSize(bytes);
  std::string reply;
  switch (framing) {
    case Framing::kUnkeyed:
      reply = wire::EncodeReply(text, 'Z', std::string(), kNeverCompress);
      break;
    case Framing::kKeyed:
      reply = wire::EncodeReply(text, 'A', BenchKeys().m1, kNeverCompress);
      break;
    case Framing::kKeyedCompressed:
      reply = wire::EncodeReply(text, 'A', BenchKeys().m1, 0);
      break;
  }
  return replies->emplace(key, std::move(reply)).first->second;
}

}  // namespace bench
