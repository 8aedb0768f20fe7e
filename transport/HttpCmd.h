// A command carries one request to the account service and keeps its reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "facade/Records.h"
#include "hostlib/quillon.h"
#include "platform/HttpAttempt.h"
#include "transport/OperationContext.h"

class CHttpCmd {
 public:
  using SectionList = CProfileFile::SectionList;

  // Takes a snapshot of the account-server list and the current position
  // in it from CLoginServers: what Execute walks, whatever the list becomes
  // meanwhile. `port` is what the member holds before that. `context` (the
  // operation's deadline, cancel and trace) is copied. No network or file
  // access.
  CHttpCmd(const OperationContext& context, const std::string& script, int port);
  virtual ~CHttpCmd() = default;

  // Posts the request, failing over through the snapshot of the list from
  // the position current at construction: each entry at most once, an
  // entry equal (host, port, scheme) to one already tried skipped. Returns
  // 0 when a reply was obtained and parsed, RESULT_TRANSPORT_FAILURE when
  // no server gave one or the operation was cancelled or ran out of time.
  // A failed attempt moves the shared position past its server; a reply
  // makes its server current; an attempt cut by a cancel or the deadline
  // moves nothing. With HttpsOnly(), a plain entry gets no attempt: the
  // trace reports it as set up failed, and the shared position moves past
  // it as past a failed one. `useKeyedCipher` 1 encrypts the body under a
  // service key, any other value sends it only Base64-encoded.
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
  // One HTTP attempt against `host` and `port`.
  int PostOnce(int useKeyedCipher);
  // The same with a body already encoded; sets lastStatus and lastOutcome.
  int PostBody(std::string body);
  // An entry HttpsOnly() refuses, as the attempt trace reports it.
  void ReportRefusedEntry(const CLoginServers::Server& server) const;
  // How an attempt ended, as the attempt trace words it; `parsed`: its reply parsed.
  AttemptOutcome OutcomeOf(const HttpAttemptResult& outcome, bool parsed) const;
  // What the attempt trace reports of the attempt just made.
  AttemptTrace DescribeAttempt(const HttpAttemptRequest& request, const HttpAttemptResult& outcome,
                               std::size_t bodyBytes, AttemptClock::time_point started) const;
  // Cuts `reply` at its first zero byte, decodes it and loads it into
  // `profile`; a reply with more entries than "GC_MAX_REPLY_ITEMS" fails, and
  // so does one whose decoding or parse the operation's cancel or deadline
  // cut short.
  int ParseReply();

  OperationContext context;
  std::string reply;
  // The server of the attempt under way (the current one until Execute).
  std::string host;
  int port;
  bool secure = false;  // reached over TLS ("https" entry)
  std::string script;
  int connectTimeout = 500;
  // The last attempt ended on the operation's cancel or deadline.
  bool cutByOperation = false;
  // The last attempt's final HTTP status (0: none) and how it ended.
  int lastStatus = 0;
  AttemptOutcome lastOutcome = AttemptOutcome::kSetupFailed;
  std::map<std::string, std::string> params;
  CProfileFile profile;

 private:
  // The list as it was at construction, and where this operation starts.
  std::vector<CLoginServers::Server> servers;
  std::size_t start = 0;
};

// The largest reply body accepted: "GC_HTTP_MAX_BODY", read at each use.
int MaxReplyBodyBytes();

// "GC_HTTPS_ONLY" is 1: no request goes to a server in clear text. Read at
// each use.
bool HttpsOnly();

// The first section of that name in text order, or the end of the list.
CProfileFile::SectionList::const_iterator FindSection(const CProfileFile::SectionList& sections,
                                                      const std::string& name);
