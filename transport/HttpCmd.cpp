#include "transport/HttpCmd.h"

#include "wire/Form.h"

CHttpCmd::CHttpCmd(const OperationContext& operation, const std::string& scriptPath, int serverPort)
    : context(operation), port(serverPort), script(scriptPath) {
  servers = CLoginServers::Instance().GetServers(start);
  if (servers.empty()) {
    host.clear();
    port = 0;
    secure = false;
  } else {
    host = servers[start].host;
    port = servers[start].port;
    secure = servers[start].secure;
  }
}

void CHttpCmd::SetScript(const std::string& path) { script = path; }

void CHttpCmd::AddParam(const std::string& key, const std::string& value) { params[key] = value; }

void CHttpCmd::AddParam(const std::string& key, int value) { params[key] = std::to_string(value); }

std::string CHttpCmd::BuildForm() const {
  // Keys and values go out byte for byte; the encoded form as a whole is
  // escaped later by the body encoding.
  return wire::BuildFormText(params);
}
