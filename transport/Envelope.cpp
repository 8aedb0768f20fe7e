// Reading a reply: decoding it into profile text and the envelope items
// "result" and "errdesc" of its unnamed section.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>

#include "facade/Records.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "transport/HttpCmd.h"
#include "wire/Vocabulary.h"

namespace {

const char kUnnamedSection[] = "";
// Room for the largest catalogue a service sends (a million servers) twice.

}  // namespace

CProfileFile::SectionList::const_iterator FindSection(const CProfileFile::SectionList& sections,
                                                      const std::string& name) {
  return std::find_if(sections.begin(), sections.end(),
                      [&name](const ProfileSection& section) { return section == name; });
}

int CHttpCmd::ParseReply() {
  // A zero byte ends the reply; whatever a server sends after it is ignored.
  // Decoded where it lies: a large reply is not copied for it.
  const std::size_t length = std::min(reply.size(), reply.find('\0'));
  // A few bytes of compressed reply can expand to millions of entries: the
  // parsed form is bounded like the body, and over the bound the attempt
  // fails before anything is built.
  const int maxEntries = GlobalCache::Instance().GetConfigInt(protocol::kGcMaxReplyItems,
                                                              proxyhelper::config::kDefaultMaxReplyItems);
  // A 64 MiB expansion or a parse of millions of items takes a second or
  // more: the operation's cancel and deadline reach into both.
  const std::function<bool()> stop = context.StopCheck();
  if (!profile.Load(DecodeBody(reply.data(), length, stop), static_cast<std::size_t>(maxEntries), stop))
    return RESULT_TRANSPORT_FAILURE;
  return 0;
}

bool CHttpCmd::IsSucceeded() const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end() || !envelope->IsItemExist(protocol::kResult)) return false;
  // Exactly "0": "00", "+0" or " 0" read as zero but are not the service's
  // success verdict.
  return envelope->GetItem(protocol::kResult) == "0";
}

int CHttpCmd::GetResult() const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end() || !envelope->IsItemExist(protocol::kResult)) return -1;
  return envelope->GetItemInt(protocol::kResult);
}

void CHttpCmd::GetErrorDesc(std::string& description) const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end()) {
    description.clear();
    return;
  }
  description = envelope->GetItem(protocol::kErrorDesc);
}

const CHttpCmd::SectionList& CHttpCmd::GetSections() const { return profile.GetSections(); }

CHttpCmd::SectionList CHttpCmd::TakeSections() { return profile.TakeSections(); }
