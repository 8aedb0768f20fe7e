// Common set-up for the operation tests: a scripted loopback server as the
// only account server, read the way the service reads requests; a client
// configuration, a language and a private application directory.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"

using testsupport::Fields;
using testsupport::SentRequest;
using testsupport::UnkeyedReply;

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    Reply("result=0\n");
    ASSERT_TRUE(service_.Start());
    QUILLON::SetExeDirectory(dir_.path());
    GlobalCache::Instance().SetClientCfg("agentX", "1.2.3");
    CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
    UseLiveServer();
  }

  // Answers every request with this reply body.
  void Reply(const std::string& body) {
    service_.SetResponder(nullptr);
    service_.SetFallback(testsupport::Script::Respond(200, body));
  }
  // Answers each request with the reply body `answer` makes of it.
  void Answer(std::function<std::string(const SentRequest&)> answer) {
    service_.SetResponder([answer](const testsupport::RecordedRequest& request) {
      return testsupport::Script::Respond(200, answer(testsupport::ReadRequest(request)));
    });
  }
  // `text` framed under the letter the request came with, in the key the
  // client holds for it.
  static std::string KeyedAnswer(const SentRequest& request, const std::string& text) {
    const auto keys = testsupport::ClientKeys();  // held: ForLetter points into it
    const std::string* key = keys.ForLetter(request.letter);
    return testsupport::KeyedReply(request.letter, key != nullptr ? *key : std::string(), text);
  }
  // The last request, as the service read it.
  SentRequest LastRequest() const {
    const auto requests = service_.Requests();
    return requests.empty() ? SentRequest() : testsupport::ReadRequest(requests.back());
  }

  void UseLiveServer() { CLoginServers::Instance().Parse(service_.HostPort(), true); }
  // Points the client at a port where nobody listens.
  void UseDeadServer() {
    CLoginServers::Instance().Parse(
        "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1")), true);
  }
  std::string ReadCache() const { return dir_.Read("cache.dat"); }
  static std::string ConfigItem(const std::string& name) {
    std::string value;
    GlobalCache::Instance().GetConfigItem(name, value);
    return value;
  }
  // Signs in as bob with the session token "tok".
  void SignInAsBob() {
    Reply(UnkeyedReply("result=0\nmagic=tok\n"));
    VPErrorInfo error;
    ASSERT_EQ(helper_.SignIn({"bob", "pw"}, error), 0);
  }

  testsupport::TempDir dir_{"proxyhelper-ops-"};
  testsupport::ScriptedServer service_;
  ProxyHelper& helper_ = ProxyHelper::Instance();
};
