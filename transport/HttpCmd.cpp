#include "transport/HttpCmd.h"

CHttpCmd::CHttpCmd(const std::string& scriptPath, int serverPort) : script(scriptPath), port(serverPort) {
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  firstHost = host;
  firstPort = port;
  firstSecure = secure;
}

void CHttpCmd::SetScript(const std::string& path) { script = path; }

void CHttpCmd::AddParam(const std::string& key, const std::string& value) { params[key] = value; }

void CHttpCmd::AddParam(const std::string& key, int value) { params[key] = std::to_string(value); }

std::string CHttpCmd::BuildForm() const {
  // Keys and values go out byte for byte; the encoded form as a whole is
  // escaped later by the body encoding.
  std::string form;
  for (const auto& [key, value] : params) {
    form.append(key).append("=").append(value).append("&");
  }
  return form;
}
