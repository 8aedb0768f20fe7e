// A seam for tests: an interceptor performs the exchange's attempts in place
// of the platform's HTTP stack, so a test can see what each attempt asked
// for, fail one from the inside, or hand it on to PerformHttpAttempt.
#pragma once

#include <functional>

#include "platform/HttpAttempt.h"

using AttemptInterceptor = std::function<HttpAttemptResult(const HttpAttemptRequest& request)>;

// Installs the interceptor for the whole process; an empty one restores the
// platform's. Not for production use.
void SetAttemptInterceptor(AttemptInterceptor interceptor);

// What the exchange calls: the interceptor when one is installed, otherwise
// PerformHttpAttempt.
HttpAttemptResult PerformAttempt(const HttpAttemptRequest& request);
