#include "transport/RawExchange.h"

#include <utility>
#include <vector>

#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"
#include "wire/Vocabulary.h"

namespace {

// A command that carries a body it was handed instead of its own form.
class RawCmd : public CHttpCmd {
 public:
  RawCmd(const OperationContext& context, const std::string& script)
      : CHttpCmd(context, protocol::kScriptDirectory + script, 80) {}

  RawExchangeReply Post(const std::string& entry, std::string body) {
    RawExchangeReply result;
    if (!entry.empty()) {
      const std::vector<CLoginServers::Server> parsed = CLoginServers::Entries(entry);
      if (parsed.size() != 1) {
        // Not one server: the trace names the text as it was given.
        ReportRefusedEntry({entry, 0, false});
        return result;
      }
      host = parsed.front().host;
      port = parsed.front().port;
      // An address the list already knows as https stays on TLS.
      secure = CLoginServers::Instance().AllSecure(entry);
    }
    if (host.empty() || (HttpsOnly() && !secure)) {
      ReportRefusedEntry({host, port, secure});
      return result;
    }
    PostBody(std::move(body));
    result.outcome = lastOutcome;
    result.httpStatus = lastStatus;
    // The attempt itself refused a body over the bound.
    if (lastStatus == 200) result.body = std::move(reply);
    return result;
  }
};

}  // namespace

RawExchangeReply PostRawBody(const OperationContext& context, const std::string& server,
                             const std::string& script, std::string body) {
  return RawCmd(context, script).Post(server, std::move(body));
}
