// The documentation as a whole: one API page per facade operation in the
// fixed layout, synopses that match the public header, result-code values
// that match the constants, and links and anchors that resolve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "docs/MarkdownDoc.h"
#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kApiSections = {"NAME",         "SYNOPSIS",        "DESCRIPTION", "RECORDS",
                                               "RESULT CODES", "SESSION EFFECTS", "EXAMPLE",     "SEE ALSO"};

std::string Root() { return docs::SourceRoot(); }

std::string Collapsed(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

// The public classes whose calls each have a page, and their headers.
struct PublicClass {
  const char* name;
  const char* header;
};
const PublicClass kPublicClasses[] = {{"ProxyHelper", "/facade/ProxyHelper.h"},
                                      {"ProxyHelperControl", "/facade/ProxyHelperControl.h"}};

// Names of the public operations that a class of a header declares.
std::set<std::string> DeclaredOperations(const std::string& header,
                                         const std::string& className = "ProxyHelper") {
  std::set<std::string> names;
  const std::size_t begin = header.find("class PROXYHELPER_API " + className + " {");
  std::size_t end = header.find(" private:", begin);
  if (end == std::string::npos) end = header.find("\n};", begin);
  if (begin == std::string::npos || end == std::string::npos) return names;
  const std::string body = header.substr(begin, end - begin);
  const std::regex declaration(R"(\b(\w+)\([^;{]*\)\s*;)");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), declaration); it != std::sregex_iterator();
       ++it) {
    names.insert((*it)[1].str());
  }
  return names;
}

std::vector<fs::path> MarkdownFiles() {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(Root() + "/docs", error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file() && it->path().extension() == ".md") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(DocPagesTest, EveryFacadeOperationHasAPageInTheFixedLayout) {
  bool ok = false;
  std::set<std::string> operations;
  for (const PublicClass& publicClass : kPublicClasses) {
    const std::string header = docs::ReadFile(Root() + publicClass.header, &ok);
    ASSERT_TRUE(ok) << publicClass.header;
    const std::set<std::string> declared = DeclaredOperations(header, publicClass.name);
    ASSERT_GE(declared.size(), 3u) << "the header parse found too few operations in " << publicClass.name;
    operations.insert(declared.begin(), declared.end());
  }
  ASSERT_GE(operations.size(), 18u) << "the header parse found too few operations";

  for (const std::string& operation : operations) {
    SCOPED_TRACE(operation);
    const std::string page = docs::ReadFile(Root() + "/docs/api/" + operation + ".md", &ok);
    ASSERT_TRUE(ok) << "docs/api/" << operation << ".md is missing";
    std::vector<std::string> sections;
    std::string title;
    for (const docs::Heading& heading : docs::ParseHeadings(page)) {
      if (heading.level == 1) title = heading.text;
      if (heading.level == 2) sections.push_back(heading.text);
    }
    EXPECT_EQ(title, operation);
    EXPECT_EQ(sections, kApiSections);
  }
}

TEST(DocPagesTest, SynopsesMatchThePublicHeader) {
  for (const PublicClass& publicClass : kPublicClasses) {
    bool ok = false;
    const std::string text = docs::ReadFile(Root() + publicClass.header, &ok);
    ASSERT_TRUE(ok);
    const std::string header = Collapsed(text);
    const std::string prefix = std::string(publicClass.name) + "::";
    for (const std::string& operation : DeclaredOperations(text, publicClass.name)) {
      SCOPED_TRACE(operation);
      const std::string page = docs::ReadFile(Root() + "/docs/api/" + operation + ".md");
      int declarations = 0;
      for (const docs::FencedBlock& block : docs::BlocksWithNotation(page, "cpp")) {
        for (std::string line : block.lines) {
          const std::size_t at = line.find(prefix + operation + "(");
          if (at == std::string::npos || line.find(';') == std::string::npos) continue;
          line.erase(at, prefix.size());
          EXPECT_NE(header.find(Collapsed(line)), std::string::npos)
              << "synopsis not declared in " << publicClass.header << ": " << line;
          ++declarations;
        }
        break;  // the first cpp block is the synopsis
      }
      EXPECT_EQ(declarations, 1) << "the synopsis should declare the operation once";
    }
  }
}

TEST(DocPagesTest, ResultCodeNamesCarryTheirValues) {
  struct Code {
    const char* name;
    int value;
  };
  const Code codes[] = {{"RESULT_TRANSPORT_FAILURE", RESULT_TRANSPORT_FAILURE},
                        {"RESULT_NOT_SUCCEEDED", RESULT_NOT_SUCCEEDED},
                        {"RESULT_CANCELLED", RESULT_CANCELLED}};
  // "NAME` (0x...)" or "NAME` 0x...": the value written next to the name.
  int checked = 0;
  for (const fs::path& file : MarkdownFiles()) {
    const std::string text = docs::ReadFile(file.string());
    for (const Code& code : codes) {
      const std::regex nearby(std::string(code.name) + R"(`? \(?0x([0-9A-Fa-f]{8}))");
      for (auto it = std::sregex_iterator(text.begin(), text.end(), nearby); it != std::sregex_iterator();
           ++it) {
        const unsigned long value = std::stoul((*it)[1].str(), nullptr, 16);
        EXPECT_EQ(value, static_cast<unsigned long>(static_cast<unsigned>(code.value)))
            << file << ": " << (*it)[0].str();
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 10);
}

TEST(DocPagesTest, LinksAndAnchorsResolve) {
  int links = 0;
  for (const fs::path& file : MarkdownFiles()) {
    const std::string text = docs::ReadFile(file.string());
    for (const std::string& target : docs::ParseLinkTargets(text)) {
      if (target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0 ||
          target.rfind("mailto:", 0) == 0) {
        continue;
      }
      ++links;
      const std::size_t hash = target.find('#');
      const std::string path = target.substr(0, hash);
      const fs::path linked = path.empty() ? file : file.parent_path() / path;
      ASSERT_TRUE(fs::exists(linked)) << file << " links to a missing " << target;
      if (hash == std::string::npos || linked.extension() != ".md") continue;
      const std::string anchor = target.substr(hash + 1);
      bool found = false;
      for (const docs::Heading& heading : docs::ParseHeadings(docs::ReadFile(linked.string()))) {
        found = found || docs::HeadingAnchor(heading.text) == anchor;
      }
      EXPECT_TRUE(found) << file << " links to a missing anchor: " << target;
    }
  }
  EXPECT_GT(links, 50);
}

TEST(DocPagesTest, IndexesReachEveryPage) {
  struct Index {
    std::string page;
    std::string folder;
  };
  const Index indexes[] = {{"docs/README.md", "docs"}, {"docs/api/README.md", "docs/api"}};
  for (const Index& index : indexes) {
    SCOPED_TRACE(index.page);
    const fs::path indexPath = fs::path(Root()) / index.page;
    std::set<fs::path> linked;
    for (const std::string& target : docs::ParseLinkTargets(docs::ReadFile(indexPath.string()))) {
      const std::string path = target.substr(0, target.find('#'));
      if (!path.empty()) linked.insert(fs::weakly_canonical(indexPath.parent_path() / path));
    }
    for (const fs::path& file : MarkdownFiles()) {
      const fs::path canonical = fs::weakly_canonical(file);
      if (canonical == fs::weakly_canonical(indexPath)) continue;
      // The API index covers its own folder; the top index covers everything.
      const fs::path folder = fs::weakly_canonical(fs::path(Root()) / index.folder);
      const std::string relative = fs::relative(canonical, folder).string();
      if (relative.rfind("..", 0) == 0) continue;
      if (index.folder == "docs/api" && relative.find('/') != std::string::npos) continue;
      EXPECT_TRUE(linked.count(canonical)) << index.page << " does not link " << relative;
    }
  }
}

}  // namespace
