// Kept so that applications written against earlier releases, which include
// "protocol/Records.h", keep compiling: the records and result codes live in
// facade/Records.h.
#pragma once

#include "facade/Records.h"
