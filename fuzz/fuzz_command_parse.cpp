// The whole parse step of a command on an arbitrary raw reply: decoding,
// profile loading and the envelope accessors, as after an HTTP exchange.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzKeys.h"
#include "facade/ProxyHelper.h"
#include "transport/HttpCmd.h"

namespace {

// Takes the reply directly instead of over the network.
class ReplyCommand : public CHttpCmd {
 public:
  // An operation of its own that nothing cancels and no deadline ends.
  ReplyCommand()
      : CHttpCmd(OperationContext(OperationContext::Clock::time_point::max(), CancelToken::Never(), nullptr),
                 "", 80) {}
  int Parse(const std::string& raw) {
    reply = raw;
    return ParseReply();
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InstallKeysAndBounds();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  ReplyCommand command;
  const int parsed = command.Parse(raw);
  FUZZ_CHECK(parsed == 0 || parsed == RESULT_TRANSPORT_FAILURE);

  const bool succeeded = command.IsSucceeded();
  const int result = command.GetResult();
  std::string description = "untouched";
  command.GetErrorDesc(description);
  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");

  if (parsed != 0) {
    FUZZ_CHECK(sections.empty());
    FUZZ_CHECK(!succeeded);
    FUZZ_CHECK(result == -1);
  }
  if (succeeded) FUZZ_CHECK(result == 0);
  if (envelope == sections.end()) {
    FUZZ_CHECK(!succeeded && result == -1 && description.empty());
  } else {
    FUZZ_CHECK(succeeded == (envelope->GetItem("result") == "0"));
    FUZZ_CHECK(description == envelope->GetItem("errdesc"));
  }

  // Bytes after a zero byte play no part.
  const std::size_t zero = raw.find('\0');
  if (zero != std::string::npos) {
    ReplyCommand shorter;
    FUZZ_CHECK(shorter.Parse(raw.substr(0, zero)) == parsed);
    FUZZ_CHECK(shorter.GetSections().size() == sections.size());
    FUZZ_CHECK(shorter.IsSucceeded() == succeeded);
  }
  return 0;
}
