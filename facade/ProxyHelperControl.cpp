#include "facade/ProxyHelperControl.h"

#include <new>
#include <utility>

#include "transport/AttemptTraceSink.h"
#include "transport/OperationContext.h"
#include "transport/RawExchange.h"

void ProxyHelperControl::CancelAll() { CancelOperationsInFlight(); }

void ProxyHelperControl::SetAttemptTrace(TraceHandler handler) {
  AttemptTraceSink::Process().SetApplicationHandler(std::move(handler));
}

ProxyHelperControl::TraceToken ProxyHelperControl::AddAttemptTrace(TraceHandler handler) {
  return AttemptTraceSink::Process().Subscribe(std::move(handler));
}

bool ProxyHelperControl::RemoveAttemptTrace(TraceToken token) {
  return AttemptTraceSink::Process().Unsubscribe(token);
}

const char* ProxyHelperControl::OutcomeName(AttemptOutcome outcome) { return AttemptOutcomeName(outcome); }

RawExchangeReply ProxyHelperControl::RawExchange(const std::string& server, const std::string& script,
                                                 const std::string& body) {
  RawExchangeReply reply;
  try {
    reply = PostRawBody(OperationContext::Begin(), server, script, body);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // Only std::bad_alloc leaves the library: anything else leaves the reply
    // as nothing sent.
  }
  return reply;
}
