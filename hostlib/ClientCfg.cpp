#include <utility>

#include "hostlib/quillon.h"

CClientCfg::CClientCfg(std::string agent, std::string version)
    : agent_(std::move(agent)), version_(std::move(version)) {}

std::string CClientCfg::GetAgent() const { return agent_; }

std::string CClientCfg::GetVersion() const { return version_; }
