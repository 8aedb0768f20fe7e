// The profile parser (CProfileFile::Load) and the section accessors on
// arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CProfileFile profile;
  // A second load replaces the first, whatever the first held.
  profile.Load("stale=1\n[stale]\nx=y\n");
  const bool loaded = profile.Load(text);
  const CProfileFile::SectionList& sections = profile.GetSections();
  if (!loaded) {
    FUZZ_CHECK(sections.empty());
    return 0;
  }
  FUZZ_CHECK(text.find_first_not_of('\0') != std::string::npos);

  bool first = true;
  for (const ProfileSection& section : sections) {
    const std::string& name = section.GetSetionName();
    FUZZ_CHECK(section == name);
    FUZZ_CHECK(name.find('\n') == std::string::npos);
    // Only the leading section can be the unnamed one.
    if (!first && name.empty()) FUZZ_CHECK(text.find("[]") != std::string::npos);
    first = false;
    for (const ProfileItem& item : section) {
      FUZZ_CHECK(item.key.find('=') == std::string::npos);
      FUZZ_CHECK(item.key.find('\n') == std::string::npos);
      FUZZ_CHECK(item.value.find('\n') == std::string::npos);
      FUZZ_CHECK(section.IsItemExist(item.key));
      (void)section.GetItemInt(item.key);
      // GetItem answers with the first item of that key.
      for (const ProfileItem& earlier : section) {
        if (earlier.key == item.key) {
          FUZZ_CHECK(section.GetItem(item.key) == earlier.value);
          break;
        }
      }
    }
  }

  // Parsing is a function of the text.
  CProfileFile again;
  FUZZ_CHECK(again.Load(text));
  FUZZ_CHECK(again.GetSections().size() == sections.size());
  return 0;
}
