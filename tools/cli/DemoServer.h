// Transitional names for the in-process reference service.
#pragma once

#include "tools/devserver/InProcessService.h"

namespace proxycli {
using DemoServer = devserver::InProcessService;
using DemoServerOptions = devserver::InProcessOptions;
}  // namespace proxycli
