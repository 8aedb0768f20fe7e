// A command carries one request to the account service and keeps its reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include "hostlib/quillon.h"
#include "platform/HttpAttempt.h"
#include "protocol/Records.h"

class CHttpCmd {
 public:
  using SectionList = CProfileFile::SectionList;

  // Takes the current account server from CLoginServers; `port` is what the
  // member holds before that. No network or file access.
  CHttpCmd(const std::string& script, int port);

  // Posts the request, failing over through the account-server list. Returns
  // 0 when a reply was obtained and parsed, RESULT_TRANSPORT_FAILURE when no
  // server gave one. `useKeyedCipher` 1 encrypts the body under a service
  // key, any other value sends it only Base64-encoded.
  virtual int Execute(int useKeyedCipher);

  void SetScript(const std::string& path);
  void AddParam(const std::string& key, const std::string& value);
  void AddParam(const std::string& key, int value);

  // Reading the parsed reply.
  bool IsSucceeded() const;
  int GetResult() const;
  void GetErrorDesc(std::string& description) const;
  const SectionList& GetSections() const;
  // Hands the parsed sections over, leaving none; for records built by move.
  SectionList TakeSections();

  // Stores the raw reply as the local catalogue cache.
  void SaveCache() const;

  // The form text: key "=" value "&" for every field in byte-wise key order.
  std::string BuildForm() const;

 protected:
  // One HTTP attempt against `host` and `port`, given at most `budgetMs`
  // of the operation's time.
  int PostOnce(int useKeyedCipher, int budgetMs);
  // What the attempt trace reports of one attempt.
  AttemptTrace DescribeAttempt(const HttpAttemptRequest& request, const HttpAttemptResult& outcome,
                               bool parsed, std::size_t bodyBytes,
                               std::chrono::steady_clock::time_point started) const;
  // Cuts `reply` at its first zero byte, decodes it and loads it into
  // `profile`; a reply with more entries than "GC_MAX_REPLY_ITEMS" fails.
  int ParseReply();

  std::string reply;
  std::string host;
  std::string firstHost;
  int firstPort = 0;
  // The server is reached over TLS ("https" entry); with host and port it
  // names the server, so the failover cycle ends when all three come back.
  bool secure = false;
  bool firstSecure = false;
  std::string script;
  int port;
  int connectTimeout = 500;
  // The last attempt ended on a bound that the operation's deadline set.
  bool outOfTime = false;
  std::map<std::string, std::string> params;
  CProfileFile profile;
};

// The largest reply body accepted: "GC_HTTP_MAX_BODY", read at each use.
int MaxReplyBodyBytes();

// The first section of that name in text order, or the end of the list.
CProfileFile::SectionList::const_iterator FindSection(const CProfileFile::SectionList& sections,
                                                      const std::string& name);
