#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/internal/DecimalText.h"
#include "hostlib/quillon.h"

struct GlobalCache::State {
  mutable std::mutex mutex;
  std::map<std::string, std::string> items;
  std::map<std::string, void*> pointers;
  // Every configuration ever installed stays here, so a pointer handed out
  // before a replacement never dangles.
  std::vector<std::unique_ptr<CClientCfg>> clientCfgs;
  CClientCfg* currentCfg = nullptr;
};

GlobalCache& GlobalCache::Instance() {
  // Deliberately leaked: static destructors of other libraries (the facade's
  // singleton, the host application's objects) may still use the cache at
  // exit, after a function-local static would already have been destroyed.
  static GlobalCache* instance = new GlobalCache;
  return *instance;
}

GlobalCache::GlobalCache() : state_(new State) {}

GlobalCache::~GlobalCache() { delete state_; }

int GlobalCache::GetConfigItem(const std::string& name, std::string& value) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->items.find(name);
  if (it == state_->items.end()) return 0;
  value = it->second;
  return 1;
}

int GlobalCache::GetConfigItem(const std::string& name, int& value) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->items.find(name);
  if (it == state_->items.end()) {
    value = 0;
    return 0;
  }
  value = quillon_internal::ParseDecimalClamped(it->second);
  return 1;
}

int GlobalCache::SetConfigItem(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->items[name] = value;
  return 1;
}

int GlobalCache::SetConfigItem(const std::string& name, const char* value) {
  // A null text is stored as empty rather than handed to std::string.
  return SetConfigItem(name, std::string(value != nullptr ? value : ""));
}

int GlobalCache::SetConfigItem(const std::string& name, int value) {
  return SetConfigItem(name, std::to_string(value));
}

int GlobalCache::GetConfigInt(const std::string& name, int fallback) const {
  int value = 0;
  if (GetConfigItem(name, value) == 0 || value <= 0) return fallback;
  return value;
}

int GlobalCache::RemoveConfigItem(const std::string& name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->items.erase(name) != 0 ? 1 : 0;
}

int GlobalCache::SetValue(const std::string& name, void* value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->pointers[name] = value;
  return 1;
}

void* GlobalCache::GetValue(const std::string& name) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->pointers.find(name);
  return it == state_->pointers.end() ? nullptr : it->second;
}

CClientCfg* GlobalCache::GetClientCfg() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->currentCfg;
}

void GlobalCache::SetClientCfg(const std::string& agent, const std::string& version) {
  // Built outside the lock: only the list append needs it.
  auto cfg = std::make_unique<CClientCfg>(agent, version);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->clientCfgs.push_back(std::move(cfg));
  state_->currentCfg = state_->clientCfgs.back().get();
}
