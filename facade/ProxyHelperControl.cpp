#include "facade/ProxyHelperControl.h"

#include <utility>

#include "transport/AttemptTraceSink.h"
#include "transport/OperationScope.h"

void ProxyHelperControl::CancelAll() { CancelOperationsInFlight(); }

void ProxyHelperControl::SetAttemptTrace(TraceHandler handler) { SetAttemptTraceHandler(std::move(handler)); }

const char* ProxyHelperControl::OutcomeName(AttemptOutcome outcome) { return AttemptOutcomeName(outcome); }
