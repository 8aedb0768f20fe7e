// The bash and zsh completion scripts: bash's answers for typical command
// lines, and both scripts against what --help lists, so that neither falls
// behind a new subcommand or option.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/CliFixture.h"

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

TEST_F(CliTest, CompletionScriptsKnowEverySubcommandAndOption) {
  const std::string bash = ReadAll(Completions("proxyhelper.bash"));
  const std::string zsh = ReadAll(Completions("_proxyhelper"));
  ASSERT_FALSE(bash.empty());
  ASSERT_FALSE(zsh.empty());
  const std::set<std::string> top = HelpWords(Run({"--help"}).out);
  std::set<std::string> all = top;
  for (const std::string& word : top) {
    if (word[0] == '-') continue;
    const std::set<std::string> sub = HelpWords(Run({word, "--help"}).out);
    all.insert(sub.begin(), sub.end());
  }
  ASSERT_GT(all.size(), 40u);
  for (const std::string& word : all) {
    // A word on its own: not merely part of a longer option name.
    const auto mentions = [&word](const std::string& script) {
      for (std::size_t at = script.find(word); at != std::string::npos; at = script.find(word, at + 1)) {
        const char after = at + word.size() < script.size() ? script[at + word.size()] : ' ';
        const char before = at > 0 ? script[at - 1] : ' ';
        if (std::string(" '\n()}{\"|,").find(before) != std::string::npos &&
            std::string(" '\n)[=+:\"|,}").find(after) != std::string::npos) {
          return true;
        }
      }
      return false;
    };
    EXPECT_TRUE(mentions(bash)) << "proxyhelper.bash lacks " << word;
    EXPECT_TRUE(mentions(zsh)) << "_proxyhelper lacks " << word;
  }
}

}  // namespace
}  // namespace clitest
