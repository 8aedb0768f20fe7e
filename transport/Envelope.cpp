// Reading a reply: decoding it into profile text and the envelope items
// "result" and "errdesc" of its unnamed section.
#include <algorithm>

#include "facade/ProxyHelper.h"
#include "protection/BodyCodec.h"
#include "transport/HttpCmd.h"

namespace {

const char kUnnamedSection[] = "";
const char kResultItem[] = "result";
const char kErrorDescItem[] = "errdesc";

}  // namespace

CProfileFile::SectionList::const_iterator FindSection(const CProfileFile::SectionList& sections,
                                                      const std::string& name) {
  return std::find_if(sections.begin(), sections.end(),
                      [&name](const ProfileSection& section) { return section == name; });
}

int CHttpCmd::ParseReply() {
  // A zero byte ends the reply; whatever a server sends after it is ignored.
  const std::string text = reply.substr(0, reply.find('\0'));
  if (!profile.Load(DecodeBody(text))) return RESULT_TRANSPORT_FAILURE;
  return 0;
}

bool CHttpCmd::IsSucceeded() const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end() || !envelope->IsItemExist(kResultItem)) return false;
  // Exactly "0": "00", "+0" or " 0" read as zero but are not the service's
  // success verdict.
  return envelope->GetItem(kResultItem) == "0";
}

int CHttpCmd::GetResult() const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end() || !envelope->IsItemExist(kResultItem)) return -1;
  return envelope->GetItemInt(kResultItem);
}

void CHttpCmd::GetErrorDesc(std::string& description) const {
  const SectionList& sections = profile.GetSections();
  const auto envelope = FindSection(sections, kUnnamedSection);
  if (envelope == sections.end()) {
    description.clear();
    return;
  }
  description = envelope->GetItem(kErrorDescItem);
}

const CHttpCmd::SectionList& CHttpCmd::GetSections() const { return profile.GetSections(); }
