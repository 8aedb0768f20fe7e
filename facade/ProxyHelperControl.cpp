#include "facade/ProxyHelperControl.h"

#include <utility>

#include "transport/AttemptTraceSink.h"
#include "transport/OperationContext.h"

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
