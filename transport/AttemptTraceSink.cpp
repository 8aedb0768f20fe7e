#include "transport/AttemptTraceSink.h"

#include <utility>
#include <vector>

struct AttemptTraceSink::Handlers {
  AttemptTraceHandler application;
  std::vector<std::pair<Token, AttemptTraceHandler>> subscriptions;

  bool Empty() const { return !application && subscriptions.empty(); }
};

AttemptTraceSink::AttemptTraceSink() = default;

AttemptTraceSink::~AttemptTraceSink() = default;

void AttemptTraceSink::Replace(std::shared_ptr<const Handlers> next) {
  handlers_ = std::move(next);
  wanted_.store(handlers_ != nullptr, std::memory_order_release);
}

AttemptTraceSink& AttemptTraceSink::Process() {
  static AttemptTraceSink* sink = new AttemptTraceSink;
  return *sink;
}

void AttemptTraceSink::SetApplicationHandler(AttemptTraceHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto next = std::make_shared<Handlers>(handlers_ ? *handlers_ : Handlers());
  next->application = std::move(handler);
  Replace(next->Empty() ? nullptr : std::move(next));
}

AttemptTraceSink::Token AttemptTraceSink::Subscribe(AttemptTraceHandler handler) {
  if (!handler) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  auto next = std::make_shared<Handlers>(handlers_ ? *handlers_ : Handlers());
  const Token token = ++lastToken_;
  next->subscriptions.emplace_back(token, std::move(handler));
  Replace(std::move(next));
  return token;
}

bool AttemptTraceSink::Unsubscribe(Token token) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handlers_ || token == 0) return false;
  auto next = std::make_shared<Handlers>(*handlers_);
  auto& list = next->subscriptions;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->first != token) continue;
    list.erase(it);
    Replace(next->Empty() ? nullptr : std::move(next));
    return true;
  }
  return false;
}

void AttemptTraceSink::Report(const AttemptTrace& attempt) const {
  std::shared_ptr<const Handlers> handlers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers = handlers_;
  }
  if (!handlers) return;
  auto call = [&attempt](const AttemptTraceHandler& handler) {
    try {
      handler(attempt);
    } catch (...) {
      // Nothing a watcher does may change the operation.
    }
  };
  if (handlers->application) call(handlers->application);
  for (const auto& subscription : handlers->subscriptions) call(subscription.second);
}
