// Where the exchange reports its attempts: the application's trace handler,
// when it installed one.
#pragma once

#include "protocol/Records.h"

void SetAttemptTraceHandler(AttemptTraceHandler handler);

// Cheap when no handler is installed, so attempts need not build a record.
bool AttemptTraceWanted();

// Calls the handler; whatever it throws is swallowed, so a faulty handler
// cannot break the operation.
void ReportAttempt(const AttemptTrace& attempt);
