#include <cstdlib>
#include <mutex>
#include <string>

#include "hostlib/quillon.h"

namespace {

// "en_US.UTF-8" -> "en-US": the ".charset" and "@modifier" parts are
// dropped and "_" becomes "-". "C", "POSIX", an empty name and a name with
// bytes that a tag cannot hold give "en".
std::string LanguageTagFromLocale(const std::string& locale) {
  static const char kFallback[] = "en";
  std::string tag = locale.substr(0, locale.find_first_of(".@"));
  if (tag.empty() || tag == "C" || tag == "POSIX") return kFallback;
  for (char& c : tag) {
    if (c == '_') {
      c = '-';
    } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) {
      // The tag travels to the service; an odd environment value must not.
      return kFallback;
    }
  }
  return tag;
}

}  // namespace

struct CMultiLanguage::State {
  mutable std::mutex mutex;
  std::string tag;  // empty: derived from the environment on each call
};

CMultiLanguage& CMultiLanguage::Instance() {
  // Leaked on purpose: usable during exit-time destruction of other
  // libraries' statics.
  static CMultiLanguage* instance = new CMultiLanguage;
  return *instance;
}

CMultiLanguage::CMultiLanguage() : state_(new State) {}

CMultiLanguage::~CMultiLanguage() { delete state_; }

std::string CMultiLanguage::GetCurrConfigLanguageTag() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->tag.empty()) return state_->tag;
  // First non-empty of LC_ALL and LANG, as the C library ranks them.
  for (const char* name : {"LC_ALL", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return LanguageTagFromLocale(value);
    }
  }
  return LanguageTagFromLocale("");
}

void CMultiLanguage::SetCurrConfigLanguageTag(const std::string& tag) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->tag = tag;
}
