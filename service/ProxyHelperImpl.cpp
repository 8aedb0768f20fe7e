#include "service/ProxyHelperImpl.h"

#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"

namespace {
const char kScriptDirectory[] = "/vpn_intl/";
}  // namespace

void ProxyHelperImpl::PrepareRequest(const std::string& scriptName, CHttpCmd& command) {
  command.SetScript(kScriptDirectory + scriptName);
  // The agent is looked up until the application has installed a client
  // configuration, then kept for the life of the session.
  if (agent.empty()) {
    if (CClientCfg* config = GlobalCache::Instance().GetClientCfg()) agent = config->GetAgent();
  }
  command.AddParam("agent", agent);
  command.AddParam("lang", CMultiLanguage::Instance().GetCurrConfigLanguageTag());
}

void ProxyHelperImpl::PrepareSessionRequest(const std::string& scriptName, CHttpCmd& command) {
  PrepareRequest(scriptName, command);
  command.AddParam("username", username);
  command.AddParam("magic", magic);
}

int RefusalCode(int serviceResult) {
  // IsSucceeded already said no, so a zero here came from text such as "00"
  // or "+0": report it as a refusal, never as success.
  return serviceResult == 0 ? RESULT_NOT_SUCCEEDED : serviceResult;
}

int FillRefusal(const CHttpCmd& command, VPErrorInfo& error) {
  error.errcode = RefusalCode(command.GetResult());
  command.GetErrorDesc(error.errdesc);
  return error.errcode;
}

int ExecuteForVerdict(CHttpCmd& command, int useKeyedCipher, VPErrorInfo& error) {
  const int sent = command.Execute(useKeyedCipher);
  if (sent != 0) return sent;
  return command.IsSucceeded() ? 0 : FillRefusal(command, error);
}
