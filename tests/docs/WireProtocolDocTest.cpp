// The worked examples and the script table of docs/wire-protocol.md, checked
// against the code that produces and reads those bytes, so the page cannot
// drift from the library.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "docs/MarkdownDoc.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/KeyLetters.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"
#include "wire/Cipher.h"

namespace {

const char* const kKeyLetters[] = {"A", "B", "C"};

class WireProtocolDocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bool ok = false;
    markdown_ = docs::ReadFile(docs::SourceRoot() + "/docs/wire-protocol.md", &ok);
    ASSERT_TRUE(ok) << "docs/wire-protocol.md not found under " << docs::SourceRoot();
    for (const docs::Example& example : docs::ParseExamples(markdown_)) {
      examples_.emplace(example.name, example);
    }
    for (const char* letter : kKeyLetters) {
      GlobalCache::Instance().RemoveConfigItem(std::string("GC_CIPER_") + letter);
    }
  }

  const docs::Example& Get(const std::string& name) {
    auto it = examples_.find(name);
    if (it == examples_.end()) {
      ADD_FAILURE() << "example '" << name << "' is missing from docs/wire-protocol.md";
      static const docs::Example kEmpty;
      return kEmpty;
    }
    return it->second;
  }

  // The bytes of the block with that role; a test failure when it is absent.
  std::string Bytes(const docs::Example& example, const std::string& role) {
    const docs::FencedBlock* block = example.Find(role);
    if (block == nullptr) {
      ADD_FAILURE() << "example '" << example.name << "' (line " << example.line << ") has no '" << role
                    << "' block";
      return std::string();
    }
    std::string error;
    std::string bytes = docs::BlockBytes(*block, &error);
    EXPECT_EQ(error, "") << "example '" << example.name << "'";
    return bytes;
  }

  std::string markdown_;
  std::map<std::string, docs::Example> examples_;
};

// Makes the next key-letter draw yield `letter`, whatever was drawn before.
void AlignRotationTo(char letter) {
  const std::string rotation = "ABC";
  const std::size_t wanted = rotation.find(letter);
  ASSERT_NE(wanted, std::string::npos) << "not a key letter: " << letter;
  for (int draws = 0; draws < 3; ++draws) {
    const std::size_t drawn = rotation.find(NextKeyLetter()[0]);
    if ((drawn + 1) % 3 == wanted) return;
  }
  FAIL() << "the rotation never reached the letter before " << letter;
}

std::string ZeroFilled(std::string text) {
  while (text.size() % 16 != 0) text.push_back('\0');
  return text;
}

TEST_F(WireProtocolDocTest, EveryExampleInThePageIsChecked) {
  const std::set<std::string> checked = {"form-signin",      "encode-unkeyed",         "derive-key",
                                         "derive-key-empty", "encode-keyed",           "rotation",
                                         "decode-unkeyed",   "decode-unkeyed-refusal", "decode-keyed",
                                         "decode-plain",     "decode-keyed-compressed"};
  std::set<std::string> seen;
  for (const docs::Example& example : docs::ParseExamples(markdown_)) {
    EXPECT_TRUE(checked.count(example.name))
        << "unchecked example '" << example.name << "' at line " << example.line;
    EXPECT_TRUE(seen.insert(example.name).second) << "example '" << example.name << "' twice";
    EXPECT_FALSE(example.blocks.empty()) << "example '" << example.name << "' has no blocks";
    for (const docs::FencedBlock& block : example.blocks) {
      EXPECT_FALSE(block.role.empty())
          << "block at line " << block.firstLine << " of '" << example.name << "' has no role";
      std::string error;
      docs::BlockBytes(block, &error);
      EXPECT_EQ(error, "");
    }
  }
  for (const std::string& name : checked) EXPECT_TRUE(seen.count(name)) << "missing: " << name;
}

TEST_F(WireProtocolDocTest, FormTextListsFieldsInKeyOrder) {
  const docs::Example& example = Get("form-signin");
  CHttpCmd command(OperationContext::Begin(), "", 80);
  std::istringstream fields(Bytes(example, "fields"));
  std::string line;
  int added = 0;
  while (std::getline(fields, line)) {
    const std::size_t equals = line.find('=');
    ASSERT_NE(equals, std::string::npos) << "field line without '=': " << line;
    command.AddParam(line.substr(0, equals), line.substr(equals + 1));
    ++added;
  }
  EXPECT_GE(added, 2);
  EXPECT_EQ(command.BuildForm(), Bytes(example, "form"));
}

TEST_F(WireProtocolDocTest, UnkeyedBodyIsLetterZAndEscapedBase64) {
  const docs::Example& example = Get("encode-unkeyed");
  const std::string form = Bytes(example, "form");
  ASSERT_FALSE(form.empty());
  EXPECT_EQ(form, Bytes(Get("form-signin"), "form")) << "the two sign-in examples disagree";
  EXPECT_EQ(Base64Encode(form), Bytes(example, "base64"));
  EXPECT_EQ(EncodeBody(form, 1), Bytes(example, "body"));
  EXPECT_EQ("Z=" + QUILLON::URLEncode(Bytes(example, "base64")), Bytes(example, "body"));
}

TEST_F(WireProtocolDocTest, KeyDerivationIsLowerHexMd5OfTheKeyItem) {
  for (const char* name : {"derive-key", "derive-key-empty"}) {
    const docs::Example& example = Get(name);
    const std::string key = Bytes(example, "key");
    EXPECT_EQ(key.size(), 32u) << name;
    EXPECT_EQ(DeriveKey(Bytes(example, "key-item")), key) << name;
  }
  EXPECT_EQ(Bytes(Get("derive-key-empty"), "key-item"), "");
}

TEST_F(WireProtocolDocTest, KeyedBodyIsTwofishOfTheZeroFilledForm) {
  const docs::Example& example = Get("encode-keyed");
  const std::string item = Bytes(example, "key-item");
  const std::string form = Bytes(example, "form");
  const std::string body = Bytes(example, "body");
  ASSERT_GE(body.size(), 2u);
  const char letter = body[0];
  ASSERT_NE(std::string("ABC").find(letter), std::string::npos) << "body letter " << letter;
  EXPECT_EQ(item, Bytes(Get("derive-key"), "key-item")) << "key item differs from derive-key";

  EXPECT_EQ(ZeroFilled(form), Bytes(example, "plain-blocks"));
  const std::string cipher = TwofishEncrypt(DeriveKey(item), form);
  EXPECT_EQ(cipher, Bytes(example, "ciphertext"));
  EXPECT_EQ(Base64Encode(cipher), Bytes(example, "base64"));

  GlobalCache::Instance().SetConfigItem(std::string("GC_CIPER_") + letter, item);
  AlignRotationTo(letter);
  EXPECT_EQ(EncodeBody(form, 2), body);
}

TEST_F(WireProtocolDocTest, UnkeyedEncodingsDrawLettersToo) {
  const docs::Example& example = Get("rotation");
  std::istringstream modes(Bytes(example, "modes"));
  std::istringstream letters(Bytes(example, "letters"));
  AlignRotationTo('A');  // the example starts in a fresh process
  int mode = 0;
  std::string letter;
  int count = 0;
  while (modes >> mode) {
    ASSERT_TRUE(static_cast<bool>(letters >> letter)) << "fewer letters than modes";
    EXPECT_EQ(EncodeBody("x=1&", mode).substr(0, 1), letter) << "encoding " << count;
    ++count;
  }
  EXPECT_FALSE(static_cast<bool>(letters >> letter)) << "more letters than modes";
  EXPECT_GE(count, 4);
}

TEST_F(WireProtocolDocTest, RepliesDecodeAsShown) {
  struct Case {
    const char* name;
    const char* decodedRole;
  };
  const Case cases[] = {
      {"decode-unkeyed", "decoded"}, {"decode-unkeyed-refusal", "decoded"},
      {"decode-keyed", "decoded"},   {"decode-keyed-compressed", "decoded"},
      {"decode-plain", "decoded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* letter : kKeyLetters) {
      GlobalCache::Instance().RemoveConfigItem(std::string("GC_CIPER_") + letter);
    }
    const docs::Example& example = Get(c.name);
    const std::string reply = Bytes(example, "reply");
    ASSERT_GE(reply.size(), 3u);
    if (example.Find("key-item") != nullptr) {
      GlobalCache::Instance().SetConfigItem(std::string("GC_CIPER_") + reply[0], Bytes(example, "key-item"));
    } else {
      // Unkeyed and plain replies must not depend on a key being present.
      std::string item;
      EXPECT_EQ(GlobalCache::Instance().GetConfigItem(std::string("GC_CIPER_") + reply[0], item), 0);
    }
    const std::string decoded = DecodeBody(reply);
    EXPECT_EQ(decoded, Bytes(example, c.decodedRole));
    CProfileFile profile;
    EXPECT_TRUE(profile.Load(decoded)) << "the decoded reply is not profile text";
  }
}

TEST_F(WireProtocolDocTest, KeyedReplyKeepsItsZeroFill) {
  const docs::Example& example = Get("decode-keyed");
  const std::string decoded = Bytes(example, "decoded");
  const std::string profile = Bytes(example, "profile");
  ASSERT_FALSE(profile.empty());
  EXPECT_EQ(decoded.size() % 16, 0u);
  EXPECT_EQ(decoded, ZeroFilled(profile));
  EXPECT_GT(decoded.size(), profile.size()) << "the example should show some zero fill";
}

TEST_F(WireProtocolDocTest, CompressedReplyIsMarkerThenBzip2) {
  const docs::Example& example = Get("decode-keyed-compressed");
  const std::string reply = Bytes(example, "reply");
  const std::string decrypted = Bytes(example, "decrypted");
  ASSERT_GE(reply.size(), 3u);
  EXPECT_EQ(TwofishDecrypt(DeriveKey(Bytes(example, "key-item")), Base64Decode(reply.substr(2))), decrypted);
  EXPECT_EQ(decrypted.compare(0, 7, "YYY=BZh"), 0) << "marker and bzip2 magic expected";
  std::string expanded;
  CMemBZ2Decompress decompressor(decrypted.data() + 4, decrypted.size() - 4, expanded);
  EXPECT_NE(decompressor.Decompress(), 0);
  EXPECT_EQ(expanded, Bytes(example, "decoded"));
}

// The script table: every operation, run against a loopback service, sends
// its script, body kind and fields exactly as the table says.
struct ScriptRow {
  std::string script;
  std::string operation;
  std::string body;
  std::vector<std::string> fields;
};

std::string Unquoted(std::string cell) {
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
    cell = cell.substr(1, cell.size() - 2);
  }
  return cell;
}

std::vector<std::string> SplitList(const std::string& cell) {
  std::vector<std::string> items;
  std::istringstream in(cell);
  std::string item;
  while (std::getline(in, item, ',')) {
    const std::size_t begin = item.find_first_not_of(' ');
    const std::size_t end = item.find_last_not_of(' ');
    if (begin != std::string::npos) items.push_back(item.substr(begin, end - begin + 1));
  }
  return items;
}

// Field keys of a request body, as the service reads it (in key order,
// which is the order the client sends them in).
std::vector<std::string> SentKeys(const std::string& body, std::string* error) {
  const testsupport::SentRequest sent = testsupport::ReadRequest(body);
  if (!sent.decoded()) *error = std::string(wire::DescribeDecodeError(sent.error)) + ": " + body;
  std::vector<std::string> keys;
  for (const auto& field : sent.fields) keys.push_back(field.first);
  return keys;
}

TEST_F(WireProtocolDocTest, ScriptTableMatchesTheRequestsSent) {
  std::vector<ScriptRow> rows;
  for (const std::vector<std::string>& cells : docs::ParseMarkedTable(markdown_, "scripts")) {
    ASSERT_GE(cells.size(), 4u);
    rows.push_back({Unquoted(cells[0]), Unquoted(cells[1]), cells[2], SplitList(cells[3])});
  }
  ASSERT_EQ(rows.size(), 11u) << "one row per service script";

  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  QUILLON::SetExeDirectory(dir.path());
  GlobalCache::Instance().SetClientCfg("DocAgent", "9.9");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "7Hq2-alpha");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "9Rz4-bravo");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "3Lm8-charlie");

  // A plain "result=0" reply: its first byte names no key, so it is read as
  // it is, and no reply pushes configuration that would change the keys.
  testsupport::ScriptedServer server("127.0.0.1", testsupport::Script::Respond(200, "result=0\n"));
  ASSERT_TRUE(server.Start());
  CLoginServers::Instance().Parse(server.HostPort(), true);

  ProxyHelper& helper = ProxyHelper::Instance();
  const std::map<std::string, std::function<int()>> operations = {
      {"SignIn",
       [&] {
         VPErrorInfo e;
         return helper.SignIn({"alice", "pw"}, e);
       }},
      {"SignOut", [&] { return helper.SignOut(); }},
      {"GetVersion",
       [&] {
         std::string v;
         return helper.GetVersion(v);
       }},
      {"Register",
       [&] {
         VPErrorInfo e;
         return helper.Register({"bob", "pw", "", "", "", ""}, e);
       }},
      {"Recharge",
       [&] {
         VPErrorInfo e;
         return helper.Recharge({"bob", "pw", "c1", "p1"}, e);
       }},
      {"GetDailupInfo",
       [&] {
         DialupInfo d;
         VPErrorInfo e;
         return helper.GetDailupInfo(3, d, e);
       }},
      {"ReleaseDialupInfo", [&] { return helper.ReleaseDialupInfo(0); }},
      {"ShakeHands",
       [&] {
         VPErrorInfo e;
         return helper.ShakeHands({"lent", 3}, e);
       }},
      {"GetUserInfo",
       [&] {
         UserInfo u;
         return helper.GetUserInfo(u);
       }},
      {"GetOnlineRatio",
       [&] {
         std::vector<ServerOnlineRatio> r;
         return helper.GetOnlineRatio(r);
       }},
      {"GetVpnServers",
       [&] {
         ServerCatalogue s;
         return helper.GetVpnServers(s);
       }},
  };

  std::set<std::string> operationsSeen;
  for (const ScriptRow& row : rows) {
    SCOPED_TRACE(row.script);
    auto operation = operations.find(row.operation);
    ASSERT_NE(operation, operations.end()) << "no such operation: " << row.operation;
    operationsSeen.insert(row.operation);
    const std::size_t before = server.Requests().size();
    EXPECT_EQ(operation->second(), 0);
    const std::vector<testsupport::RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), before + 1) << "one request per operation";
    const testsupport::RecordedRequest& request = requests.back();

    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/vpn_intl/" + row.script);
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.Header("Accept"), "*/*");
    ASSERT_FALSE(request.body.empty());
    if (row.body == "Z") {
      EXPECT_EQ(request.body[0], 'Z');
    } else {
      EXPECT_EQ(row.body, "keyed");
      EXPECT_NE(std::string("ABC").find(request.body[0]), std::string::npos) << request.body;
    }
    std::string error;
    const std::vector<std::string> keys = SentKeys(request.body, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(keys, row.fields);
  }
  EXPECT_EQ(operationsSeen.size(), operations.size()) << "an operation is missing from the table";
  QUILLON::SetExeDirectory("");
}

}  // namespace
