// How the operations read a successful reply into the caller's records and
// the pushed configuration. Each reader is linear in the parsed reply.
#pragma once

#include <string>
#include <vector>

#include "facade/Records.h"
#include "hostlib/quillon.h"

// Named sections are groups; each item is one server, moved into the
// caller's map, which is appended to, never cleared.
void FillCatalogue(CProfileFile::SectionList sections, ServerCatalogue& servers);

// Every item of a named section is one server's ratio, appended in order.
void FillOnlineRatios(CProfileFile::SectionList sections, std::vector<ServerOnlineRatio>& ratios);

// The "userinfo" section into `info`, the server configuration into
// "GCP_CUR_SERVERCONFIG", and the "config" section into the configuration
// cache and the account-server list.
void ApplyUserInfoReply(const CProfileFile::SectionList& sections, const std::string& username,
                        UserInfo& info);
