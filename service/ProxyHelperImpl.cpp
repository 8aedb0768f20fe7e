#include "service/ProxyHelperImpl.h"

#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"
#include "wire/Vocabulary.h"

void ProxyHelperImpl::PrepareRequest(const std::string& scriptName, CHttpCmd& command) {
  command.SetScript(protocol::kScriptDirectory + scriptName);
  // The agent is looked up until the application has installed a client
  // configuration, then kept for the life of the session.
  std::string agent = Agent();
  if (agent.empty()) {
    if (CClientCfg* config = GlobalCache::Instance().GetClientCfg()) {
      agent = config->GetAgent();
      std::lock_guard<std::mutex> lock(mutex);
      if (session.agent.empty()) session.agent = agent;
    }
  }
  command.AddParam(protocol::kAgent, agent);
  command.AddParam(protocol::kLang, CMultiLanguage::Instance().GetCurrConfigLanguageTag());
}

void ProxyHelperImpl::PrepareSessionRequest(const std::string& scriptName, CHttpCmd& command) {
  PrepareSessionRequest(scriptName, Snapshot(), command);
}

void ProxyHelperImpl::PrepareSessionRequest(const std::string& scriptName, const Session& values,
                                            CHttpCmd& command) {
  PrepareRequest(scriptName, command);
  command.AddParam(protocol::kUserName, values.username);
  command.AddParam(protocol::kMagic, values.magic);
}

ProxyHelperImpl::Session ProxyHelperImpl::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex);
  return session;
}

std::string ProxyHelperImpl::Agent() const {
  std::lock_guard<std::mutex> lock(mutex);
  return session.agent;
}

std::string ProxyHelperImpl::GetUserNameA() const {
  std::lock_guard<std::mutex> lock(mutex);
  return session.username;
}

std::string ProxyHelperImpl::GetMagic() const {
  std::lock_guard<std::mutex> lock(mutex);
  return session.magic;
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
