// --json output of the subcommands, parsed back.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/CliFixture.h"
#include "tools/cli/CatalogueOutput.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/Views.h"

namespace clitest {
namespace {

// Each document, field by field: JSON pointers, null where nothing may be.
TEST_F(CliTest, JsonDocumentsOfEachSubcommandAndFailure) {
  StartService(/*deadFirst=*/true);
  const std::string live = server_.LiveAddress();
  const std::string dead = server_.DeadAddress();
  const struct {
    int status;
    std::vector<std::string> args;
    const char* fields;
  } cases[] = {
      {0,
       {"--servers", live, "--agent", "tester", "--json", "version"},
       R"({"/command": "version", "/ok": true, "/exit_status": 0, "/service_version": "9.8.7",
           "/agent": "tester", "/errors": []})"},
      // A failure names the operation, the code and the service's text.
      {1,
       {"--servers", live, "-u", "carol", "-p", "bad", "--json", "ratio"},
       R"({"/ok": false, "/exit_status": 1, "/errors/0/operation": "SignIn", "/errors/0/result": 2,
           "/errors/0/result_hex": "0x00000002", "/errors/0/result_name": "service result",
           "/errors/1": null})"},
      {3,
       {"--servers", dead, "--json", "version"},
       R"({"/errors/0/result_name": "RESULT_TRANSPORT_FAILURE", "/errors/0/result_hex": "0x70000066"})"},
      {0,
       {"--servers", server_.ClientServerList(), "-u", "carol", "-p", "carol-pw", "account", "--json"},
       R"({"/user/username": "carol", "/user/moneyleft": 42, "/user/timeleft": "9 days",
           "/config/heartbeat_slot": 7, "/config/onlineratio_slot": 11, "/config/cipher_keys": true,
           "/config/server_config": {"serverlevel": {"1": "Bronze", "2": "Steel"}, "tip": 1,
                                     "message": "mind the gap", "url": "http://notice.example"}})"},
      // Groups in byte order ("Alpha" before "beta"); each field once, ids
      // and levels numbers.
      {0, Carol({"--json", "servers"}),
       R"({"/source": "remote", "/count": 3, "/total": 3, "/groups/0/name": "Alpha", "/groups/1/name": "beta",
           "/groups/2": null, "/groups/1/servers/1/id": 8, "/groups/1/servers/2": null,
           "/groups/1/servers/0": {"id": 7, "name": "Beta 7", "address": "b7.example", "level": 2,
                                   "location": "Here"}})"},
      // --json counts what it shows.
      {0, Carol({"--json", "servers", "--level", "2"}), R"({"/count": 1, "/total": 3})"},
      {0, Carol({"--json", "ratio"}), R"({"/ratios/3": null})"},
  };
  std::vector<nlohmann::json> docs;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    docs.push_back(RunExpecting(c.status, c.args).Json());
    ASSERT_TRUE(docs.back().is_object());
    ExpectFields(docs.back(), nlohmann::json::parse(c.fields));
  }
  EXPECT_FALSE(docs[1]["errors"][0]["errdesc"].get<std::string>().empty());
  // The pushed list: the service's own listen addresses, dead one first.
  const nlohmann::json& pushed = docs[3]["config"]["login_servers"];
  ASSERT_EQ(pushed.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(pushed[i]["host"].get<std::string>() + ":" + std::to_string(pushed[i]["port"].get<int>()),
              i == 0 ? dead : live);
  }
  // Every server has a ratio, 0 to 100, and nothing else.
  const nlohmann::json& ratios = docs.back()["ratios"];
  ASSERT_EQ(ratios.size(), 3u);
  for (const nlohmann::json& ratio : ratios) {
    EXPECT_GE(ratio["ratio"].get<int>(), 0);
    EXPECT_LE(ratio["ratio"].get<int>(), 100);
    EXPECT_TRUE(ratio["id"].is_number()) << ratio;
    EXPECT_EQ(ratio.size(), 2u) << ratio;
  }
}

TEST_F(CliTest, ServersFilterSortAndLimit) {
  StartService();
  const struct {
    std::vector<std::string> options;
    std::vector<int> ids;  // in output order
  } cases[] = {
      {{}, {9, 7, 8}},
      {{"--group", "BETA"}, {7, 8}},
      {{"--level", "1"}, {9, 8}},
      {{"--location", "THER"}, {8}},
      {{"--location", "else", "--level", "2"}, {}},
      {{"--sort", "level"}, {9, 8, 7}},
      {{"--sort", "level", "--group", "beta", "--limit", "1"}, {8}},
      {{"--sort", "id", "--limit", "2"}, {9, 7}},
      {{"--limit", "1", "--group", "beta", "--sort", "name"}, {7}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = Carol({"servers", "--jsonl"});
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome outcome = RunExpecting(0, args);
    std::vector<int> ids;
    std::istringstream lines(outcome.out);
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
      ASSERT_TRUE(record.is_object()) << line;
      EXPECT_EQ(record.size(), 6u) << line;  // group and the five fields
      ids.push_back(record["id"].get<int>());
    }
    EXPECT_EQ(ids, c.ids) << ::testing::PrintToString(c.options) << "\n" << outcome.out;
  }
  // --jsonl wins over --json.
  EXPECT_EQ(Run(Carol({"--json", "servers", "--jsonl", "--group", "alpha"})).out,
            "{\"address\":\"a9.example\",\"group\":\"Alpha\",\"id\":9,\"level\":1,\"location\":\"Elsewhere\","
            "\"name\":\"Alpha 9\"}\n");
}

TEST_F(CliTest, ServiceTextIsEscapedInTextAndKeptInJson) {
  std::string seed = kSeed;
  seed.replace(seed.find("version=9.8.7"), 13, "version=9\x1b[31mred");
  seed.replace(seed.find("message=mind the gap"), 20, "message=mind\x1b]0;owned\x07 the gap");
  seed +=
      "[group:Gamma]\n5=Name\x9b"
      "2J,addr\x7f,1,Loc\xc2\x85x caf\xc3\xa9\n"
      "[group:Delta]\n6=a\xe2\x80\xae"
      "b,x,1,y\n";
  StartService(false, seed);
  const struct {
    std::vector<std::string> args;
    const char* shows;
  } cases[] = {
      {{"version"}, "service 9\\x1b[31mred\n"},
      {{"account"}, "mind\\x1b]0;owned\\x07 the gap"},
      {{"servers", "--group", "gamma"}, "Name\\x9b2J  addr\\x7f  1      Loc\\xc2\\x85x caf\xc3\xa9\n"},
      {{"servers", "--group", "delta"}, "  6   a\\xe2\\x80\\xaeb  x        1      y\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = Carol({});
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome outcome = RunExpecting(0, args);
    EXPECT_NE(outcome.out.find(c.shows), std::string::npos) << outcome.out;
    for (const char* control : {"\x1b", "\x07", "\x7f", "\x9b", "\xe2\x80\xae"})
      EXPECT_EQ(outcome.out.find(control), std::string::npos) << c.args[0];
  }
  EXPECT_EQ(Run(Carol({"--json", "version"})).Json()["service_version"], "9\x1b[31mred");
  EXPECT_EQ(Run(Carol({"--json", "servers", "--jsonl", "--group", "gamma"})).Json()["address"], "addr\x7f");
}

TEST(PrintableTest, ControlsAreEscapedAndTextIsKept) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text, caf\xc3\xa9 \xe4\xb8\xad", "plain text, caf\xc3\xa9 \xe4\xb8\xad"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1b[2J\x1b]0;t\x07", "\\x1b[2J\\x1b]0;t\\x07"},
      {"del\x7f", "del\\x7f"},
      {"c1 \xc2\x9b\x31m", "c1 \\xc2\\x9b1m"},  // U+009B, CSI; \x31 is "1"
      {"bare \x9b\x31m \x85", "bare \\x9b1m \\x85"},
      {"latin-1 caf\xe9 \xff", "latin-1 caf\xe9 \xff"},
      {"nbsp \xc2\xa0", "nbsp \xc2\xa0"},
      // Bidirectional controls reorder what follows them on the line.
      {"evil\xe2\x80\xaegpj.exe", "evil\\xe2\\x80\\xaegpj.exe"},  // U+202E
      {"\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c",
       "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xd8\\x9c"},  // U+200E, U+200F, U+061C
      {"\xe2\x80\xaa\xe2\x80\xac\xe2\x80\xad",
       "\\xe2\\x80\\xaa\\xe2\\x80\\xac\\xe2\\x80\\xad"},                 // U+202A, C, D
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\xe2\\x81\\xa6x\\xe2\\x81\\xa9"},  // U+2066, U+2069
      // Their neighbours are text: U+200D (joiner), U+202F, U+2065 (unassigned), U+2070, U+061B.
      {"\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xb0\xd8\x9b",
       "\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xb0\xd8\x9b"},
      // Cut short or overlong, it is no control: bytes kept, C1-range bytes escaped.
      {"\xe2\x80", "\xe2\\x80"},
      {"\xe0\x82\xae", "\xe0\\x82\xae"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(proxycli::Printable(c.text), c.shown) << c.shown;
    EXPECT_EQ(proxycli::PrintableSize(c.text), c.shown.size()) << c.shown;
    std::string pieces;
    proxycli::PrintablePieces(c.text,
                              [&pieces](const char* data, std::size_t size) { pieces.append(data, size); });
    EXPECT_EQ(pieces, c.shown);
  }
}

TEST(ReportTest, FirstFailureDecidesTheExitStatusAndNonUtf8TextsDoNotBreakJson) {
  StringConsole text;
  proxycli::Report report(text.console, "x", /*json=*/false);
  report.Print("shown\n");
  report.Failure("GetVpnServers", RESULT_TRANSPORT_FAILURE, "");
  report.Failure("SignOut", RESULT_NOT_SUCCEEDED, "");
  EXPECT_EQ(report.Finish(), 3);
  EXPECT_EQ(text.out.str(), "shown\n");
  EXPECT_EQ(text.err.str(),
            "proxyhelper: GetVpnServers failed: 0x70000066 RESULT_TRANSPORT_FAILURE\n"
            "proxyhelper: SignOut failed: 0x70000067 RESULT_NOT_SUCCEEDED\n");

  StringConsole json;
  proxycli::Report jsonReport(json.console, "x", /*json=*/true);
  jsonReport.data()["text"] = std::string("caf\xE9 \xFF");
  jsonReport.Failure("GetVersion", -1, std::string("bad \xC3"));
  EXPECT_EQ(jsonReport.Finish(), 1);
  const nlohmann::json doc = nlohmann::json::parse(json.out.str(), nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << json.out.str();
  EXPECT_EQ(doc["text"], "caf\xEF\xBF\xBD \xEF\xBF\xBD");  // U+FFFD replacements
  EXPECT_EQ(doc["errors"][0]["result_hex"], "0xFFFFFFFF");
  EXPECT_NE(json.err.str().find("GetVersion failed: 0xFFFFFFFF service result: bad"), std::string::npos);
}

TEST(ViewsTest, ColumnsAlignToTheWidestCellAndTheCatalogueGroupsByName) {
  EXPECT_EQ(proxycli::FormatTable({{"ID", "NAME"}, {"1001", "x"}, {"7", "longer name"}}, "  "),
            "  ID    NAME\n"
            "  1001  x\n"
            "  7     longer name\n");
  EXPECT_EQ(proxycli::FormatTable({}, "  "), "");
  ServerCatalogue catalogue;
  catalogue["Zeta"].emplace_back("5", "Z5,z5.example,3,Far");
  catalogue["Alpha"].emplace_back("1", "A1,a1.example,1,Near");
  catalogue["Alpha"].emplace_back("2", "short");  // fewer fields than usual
  std::ostringstream text;
  proxycli::WriteCatalogueText(text, proxycli::CatalogueSelection(catalogue, proxycli::CatalogueFilter()));
  EXPECT_EQ(text.str(),
            "Alpha (2 servers)\n"
            "  ID  NAME   ADDRESS     LEVEL  LOCATION\n"
            "  1   A1     a1.example  1      Near\n"
            "  2   short\n"
            "Zeta (1 server)\n"
            "  ID  NAME  ADDRESS     LEVEL  LOCATION\n"
            "  5   Z5    z5.example  3      Far\n");
  EXPECT_EQ(proxycli::CatalogueSize(catalogue), 3u);
}

// The layouts `servers` had when it built its output whole, from the
// catalogue: the streamed output must match them byte for byte.
std::string WholeText(const ServerCatalogue& catalogue) {
  std::string text;
  for (const auto& group : catalogue) {
    const std::size_t n = group.second.size();
    text +=
        proxycli::Printable(group.first) + " (" + std::to_string(n) + (n == 1 ? " server)\n" : " servers)\n");
    std::vector<std::vector<std::string>> rows = {{"ID", "NAME", "ADDRESS", "LEVEL", "LOCATION"}};
    for (const ServerInfo& server : group.second) {
      std::vector<std::string> row = {proxycli::Printable(server.GetKey())};
      for (std::size_t field = 0; field < 4; ++field)
        row.push_back(proxycli::Printable(server.GetField(field)));
      while (row.size() > 1 && row.back().empty()) row.pop_back();
      rows.push_back(row);
    }
    text += proxycli::FormatTable(rows, "  ");
  }
  return text;
}

// A server as the catalogue's JSON shows it: id and level as numbers, null
// when they are not.
nlohmann::json ServerJson(const ServerInfo& server) {
  const auto number = [](const std::string& text) {
    long long value = 0;
    return proxycli::ParseDecimal(text, &value) ? nlohmann::json(value) : nlohmann::json(nullptr);
  };
  return {{"id", number(server.GetKey())},
          {"name", server.GetField(0)},
          {"address", server.GetField(1)},
          {"level", number(server.GetField(2))},
          {"location", server.GetField(3)}};
}

nlohmann::json WholeGroups(const ServerCatalogue& catalogue) {
  nlohmann::json groups = nlohmann::json::array();
  for (const auto& group : catalogue) {
    nlohmann::json servers = nlohmann::json::array();
    for (const ServerInfo& server : group.second) servers.push_back(ServerJson(server));
    groups.push_back({{"name", group.first}, {"servers", servers}});
  }
  return groups;
}

std::string WholeJsonLines(const ServerCatalogue& catalogue) {
  std::string lines;
  for (const auto& group : catalogue) {
    for (const ServerInfo& server : group.second) {
      nlohmann::json record = {{"group", group.first}};
      record.update(ServerJson(server));
      lines += proxycli::DumpJson(record, -1) + "\n";
    }
  }
  return lines;
}

TEST(CatalogueOutputTest, StreamedOutputIsTheWholeLayoutByteForByte) {
  const ServerCatalogue catalogue = {
      {"G0", {{"1", "A1,a1.example,1,Near"}, {"2", "short"}, {"3", ""}, {"4", "n,,,"}}},
      {"G1",
       {{"007", "Zero \"quoted\" \\ name,addr,-2,Loc,extra,fields"},
        {"x", "n,a,1x,l"},
        {"99999999999999999999", "big,a, 3,l"},
        {"-", "dash,a,+1,l"}}},
      {"G2", {{"5", "ctl\x1b[2J\ttab,\x7f,\xe2\x80\xae,caf\xc3\xa9 \xff\xc3"}, {"6", "\xc2\x85,a,0,\x01"}}},
      {"G3", {{"7", "Far  ,a,1,Loc  "}, {"8", "x,   ,,"}, {"9", "   ,  "}, {"   ", ""}, {"10", "n, a ,1, "}}},
      {"\x1b]0;x\x07 other", {{"1", "o,p,2,q"}}},
  };
  const proxycli::CatalogueSelection shown(catalogue, proxycli::CatalogueFilter());
  ASSERT_EQ(shown.size(), 16u);
  std::ostringstream text, lines;
  proxycli::WriteCatalogueText(text, shown);
  proxycli::WriteCatalogueJsonLines(lines, shown);
  EXPECT_EQ(text.str(), WholeText(catalogue));
  EXPECT_EQ(lines.str(), WholeJsonLines(catalogue));
  // The document as the subcommand writes it (indented) and as the shell
  // does (one line); "groups" also inside an error's text.
  const nlohmann::json document = {{"command", "servers"},
                                   {"count", shown.size()},
                                   {"errors", {{{"errdesc", "\"groups\": \"(groups)\""}}}},
                                   {"exit_status", 1},
                                   {"ok", false}};
  nlohmann::json whole = document;
  whole["groups"] = WholeGroups(catalogue);
  for (const int indent : {2, -1}) {
    std::ostringstream written;
    proxycli::WriteServersDocument(written, document, &shown, indent);
    EXPECT_EQ(written.str(), proxycli::DumpJson(whole, indent) + "\n") << indent;
  }
  // Nothing kept: an empty list; no selection: no groups at all.
  proxycli::CatalogueFilter none;
  none.level = 9;
  const proxycli::CatalogueSelection empty(catalogue, none);
  for (const int indent : {2, -1}) {
    std::ostringstream written, without;
    proxycli::WriteServersDocument(written, document, &empty, indent);
    EXPECT_EQ(nlohmann::json::parse(written.str())["groups"], nlohmann::json::array());
    proxycli::WriteServersDocument(without, document, nullptr, indent);
    EXPECT_EQ(without.str(), proxycli::DumpJson(document, indent) + "\n");
  }
}

TEST(CatalogueOutputTest, SelectionFiltersSortsAndLimitsWithoutCopies) {
  ServerCatalogue catalogue;
  catalogue["b"] = {{"10", "Nb,a,2,Paris"}, {"9", "na,a,1,paris"}, {"x", "Na,a,x,Rome"}, {"-1", "nc,a,1,"}};
  catalogue["a"] = {{"3", "z,a,1,Oslo"}, {"2", "y,a,2,Lyon"}};
  catalogue["B"] = {{"7", "m,a,1,Bern"}};
  const struct {
    proxycli::CatalogueFilter filter;
    std::vector<std::string> ids;  // in output order
  } cases[] = {
      {{}, {"7", "3", "2", "10", "9", "x", "-1"}},
      {{"b", -1, "", 0, ""}, {"7", "10", "9", "x", "-1"}},  // both names equal but for case
      {{"", 1, "", 0, ""}, {"7", "3", "9", "-1"}},
      {{"", -1, "PAR", 0, ""}, {"10", "9"}},
      {{"", 1, "ar", 0, ""}, {"9"}},
      {{"", -1, "", 3, ""}, {"7", "3", "2"}},
      {{"", -1, "", 0, "id"}, {"7", "2", "3", "-1", "9", "10", "x"}},
      {{"", -1, "", 0, "level"}, {"7", "3", "2", "9", "-1", "10", "x"}},
      {{"", -1, "", 0, "name"}, {"7", "2", "3", "x", "9", "10", "-1"}},  // "Na" before "na"
      {{"", -1, "", 0, "location"}, {"7", "2", "3", "-1", "10", "9", "x"}},
      {{"", -1, "", 5, "id"}, {"7", "2", "3", "-1", "9"}},
  };
  for (const auto& c : cases) {
    const proxycli::CatalogueSelection shown(catalogue, c.filter);
    std::vector<std::string> ids;
    for (const proxycli::ShownGroup& group : shown.groups()) {
      EXPECT_NE(group.size(), 0u);
      EXPECT_EQ(group.name, &catalogue.find(*group.name)->first);
      for (const ServerInfo* server : group) {
        // Points into the catalogue: nothing was copied.
        const std::vector<ServerInfo>& all = catalogue.at(*group.name);
        EXPECT_TRUE(server >= all.data() && server < all.data() + all.size());
        ids.push_back(server->GetKey());
      }
    }
    EXPECT_EQ(ids, c.ids) << c.filter.group << " " << c.filter.level << " " << c.filter.location << " "
                          << c.filter.limit << " " << c.filter.sort;
    EXPECT_EQ(shown.size(), c.ids.size());
  }
}

TEST(CatalogueOutputTest, OneHugeCellDoesNotWidenEveryRow) {
  ServerCatalogue catalogue;
  catalogue["g"] = {{"1", std::string(100000, 'N') + ",a"}, {"2", "x,a"}};
  std::ostringstream text;
  proxycli::WriteCatalogueText(text, proxycli::CatalogueSelection(catalogue, proxycli::CatalogueFilter()));
  std::istringstream lines(text.str());
  std::vector<std::string> shown;
  for (std::string line; std::getline(lines, line);) shown.push_back(line);
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[1],
            "  ID  NAME" + std::string(proxycli::kWidestColumn - 2, ' ') + "ADDRESS  LEVEL  LOCATION");
  EXPECT_EQ(shown[2], "  1   " + std::string(100000, 'N') + "  a");
  EXPECT_EQ(shown[3], "  2   x" + std::string(proxycli::kWidestColumn + 1, ' ') + "a");
}

TEST_F(CliTest, ServersOutputThatCannotBeWrittenIsAFailure) {
  StartService();
  for (const std::vector<std::string>& args :
       {Carol({"servers"}), Carol({"servers", "--jsonl"}), Carol({"--json", "servers"})}) {
    StringConsole strings;
    std::ostream out(nullptr);  // every write fails, as on a full disk
    proxycli::Console console{strings.in, out, strings.err, false, false};
    std::vector<std::string> argv = {"proxyhelper"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(proxycli::RunCli(argv, console), 1) << args.back();
    EXPECT_NE(strings.err.str().find("servers failed: 0xFFFFFFFF output failed"), std::string::npos)
        << strings.err.str();
  }
}

}  // namespace
}  // namespace clitest
