// The operation table against everything that lists the subcommands: help,
// the bash and zsh completion scripts and the manual (bash's answers for
// typical command lines too), so that none falls behind a new subcommand or
// option; and each row's JSON fields against what the command prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/CliFixture.h"
#include "tools/cli/Operations.h"

namespace clitest {
namespace {

std::string SourceDirectory() {
  const char* root = std::getenv("PROXYHELPER_SOURCE_DIR");
  if (root != nullptr && root[0] != '\0') return root;
  const std::string file = __FILE__;
  return file.substr(0, file.rfind("/tests/cli/"));
}

std::string Completions(const std::string& name) {
  return SourceDirectory() + "/tools/cli/completions/" + name;
}

// Whether `word` stands on its own in `text`, not as part of a longer name.
bool Mentions(const std::string& text, const std::string& word) {
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const char after = at + word.size() < text.size() ? text[at + word.size()] : ' ';
    const char before = at > 0 ? text[at - 1] : ' ';
    if (std::string(" '\n()}{\"|,*`").find(before) != std::string::npos &&
        std::string(" '\n)[=+:\"|,}*`").find(after) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What bash offers for the words of `line`, the last one being completed.
std::string BashOffers(const std::string& line) {
  const std::string script = "source '" + Completions("proxyhelper.bash") + "'; read -ra COMP_WORDS <<<\"" +
                             line + "\"; [[ \"" + line +
                             "\" == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                             "_proxyhelper; echo \"${COMPREPLY[*]}\"";
  const std::string command = "bash --norc --noprofile -c '" + [&script] {
    std::string quoted;
    for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted;
  }() + "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
  }
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

TEST(CompletionTest, BashCompletesSubcommandsOptionsAndValues) {
  const struct {
    const char* line;
    const char* offers;
  } cases[] = {
      {"proxyhelper acc", "account"},
      {"proxyhelper --ser", "--servers"},
      {"proxyhelper --servers a.example se", "servers"},
      {"proxyhelper -u carol servers --so", "--sort"},
      {"proxyhelper servers --sort ", "name id level location"},
      {"proxyhelper servers --jsonl --l", "--local --level --location --limit --lang"},
      {"proxyhelper help rat", "ratio"},
      {"proxyhelper config ", "show"},
      {"proxyhelper -u ", ""},
      {"proxyhelper connect --server-id 7 --rel", "--release-code --relogin-on"},
  };
  for (const auto& c : cases) EXPECT_EQ(BashOffers(c.line), c.offers) << c.line;
}

// The subcommands and option names that a help text lists.
std::set<std::string> HelpWords(const std::string& help) {
  std::set<std::string> words;
  std::istringstream lines(help);
  std::string block;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == ':' && line[0] != ' ') {
      block = line;
      continue;
    }
    if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') continue;
    std::string first = line.substr(2, line.find(' ', 2) - 2);
    if (block == "Subcommands:") {
      words.insert(first);
    } else if (block == "Options:" || block == "Global options:") {
      first = first.substr(0, first.find_first_of("={"));
      std::istringstream names(first);
      for (std::string name; std::getline(names, name, ',');) words.insert(name);
    }
  }
  return words;
}

TEST_F(CliTest, TableHelpCompletionsAndManualAgree) {
  const std::string bash = ReadAll(Completions("proxyhelper.bash"));
  const std::string zsh = ReadAll(Completions("_proxyhelper"));
  const std::string manual = ReadAll(SourceDirectory() + "/docs/man/proxyhelper.1.md");
  ASSERT_FALSE(bash.empty());
  ASSERT_FALSE(zsh.empty());
  ASSERT_FALSE(manual.empty());
  const std::set<std::string> top = HelpWords(Run({"--help"}).out);
  std::set<std::string> rows;
  for (const proxycli::Operation& row : proxycli::Operations()) {
    rows.insert(row.name);
    EXPECT_NE(manual.find(std::string("\n### ") + row.name + "\n"), std::string::npos)
        << "manual lacks " << row.name;
  }
  std::set<std::string> all = top;
  std::set<std::string> listed;
  for (const std::string& word : top) {
    if (word[0] == '-') continue;
    listed.insert(word);
    const std::set<std::string> sub = HelpWords(Run({word, "--help"}).out);
    all.insert(sub.begin(), sub.end());
  }
  EXPECT_EQ(listed, rows);
  ASSERT_GT(all.size(), 40u);
  for (const std::string& word : all) {
    EXPECT_TRUE(Mentions(bash, word)) << "proxyhelper.bash lacks " << word;
    EXPECT_TRUE(Mentions(zsh, word)) << "_proxyhelper lacks " << word;
    if (word != "-h" && word != "--help") {
      EXPECT_TRUE(Mentions(manual, word)) << "the manual lacks " << word;
    }
  }
}

TEST_F(CliTest, EachRowsDocumentCarriesItsFields) {
  StartService();
  const std::map<std::string, std::vector<std::string>> extra = {
      {"register", {"dave"}}, {"recharge", {"--card", "C-1", "--card-password", "c1"}}};
  int checked = 0;
  for (const proxycli::Operation& row : proxycli::Operations()) {
    if (row.jsonFields.empty()) continue;
    std::vector<std::string> args = Carol({"--json", row.name});
    const auto more = extra.find(row.name);
    if (more != extra.end()) args.insert(args.end(), more->second.begin(), more->second.end());
    // check's verdicts depend on this seed; its document is what counts here.
    const Outcome run = row.name == std::string("check") ? Run(args) : RunExpecting(0, args);
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    for (const char* field : row.jsonFields) {
      EXPECT_TRUE(document.contains(field)) << row.name << " lacks " << field << ": " << run.out;
    }
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

}  // namespace
}  // namespace clitest
