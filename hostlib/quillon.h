// quillon: the host utility library of the VPN client.
//
// Process-wide configuration cache, client configuration, language, the
// account-server list, machine identity, URL encoding, INI-style profile
// parsing, server records and bzip2 decompression. Every object that holds
// process-wide state is safe to use from several threads at once.
//
// All texts are narrow 8-bit strings, passed byte for byte.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon_export.h"

// ---------------------------------------------------------------------------
// Client configuration: the application's agent and version texts.
class QUILLON_API CClientCfg {
 public:
  CClientCfg(std::string agent, std::string version);

  std::string GetAgent() const;
  std::string GetVersion() const;

 private:
  std::string agent_;
  std::string version_;
};

// ---------------------------------------------------------------------------
// Process-wide configuration cache.
//
// Configuration items ("GC_" by convention) hold text; an item stored in
// integer form reads back as its decimal text. Stored pointers ("GCP_" by
// convention) are kept apart from the items and are never freed here.
//
// Settings of the library itself (integers, read at the time of use):
//   "GC_HTTP_TIMEOUT_MS"  whole transfer of one HTTP attempt   default 30000
//   "GC_HTTP_STALL_MS"    transfer without progress            default 10000
//   "GC_HTTP_MAX_BODY"    largest reply body accepted, bytes   default 32 MiB
//   "GC_BZ2_MAX_OUTPUT"   largest decompressed reply, bytes    default 64 MiB
//   "GC_MAX_REPLY_ITEMS"  most sections and items in a reply   default 2000000
//   "GC_OPERATION_TIMEOUT_MS" one operation, failover included default 120000
//   "GC_USER_AGENT"       HTTP user agent (text); empty: the program's name
//   "GC_CA_BUNDLE"        PEM file of the CAs trusted for "https" servers
//                         (text); replaces the system trust store; empty:
//                         the system store. Ignored on Windows, which always
//                         verifies against the system store.
//   "GC_HTTPS_ONLY"       1: no account server is reached in clear text
//                         (see CLoginServers); absent or any other value:
//                         plain entries are used as listed.
class QUILLON_API GlobalCache {
 public:
  static GlobalCache& Instance();

  // Writes the item's text into `value` and returns 1; leaves `value` as it
  // is and returns 0 when the item is absent.
  int GetConfigItem(const std::string& name, std::string& value) const;
  // Integer form: atoi-like reading of the item's text; 0 when absent.
  int GetConfigItem(const std::string& name, int& value) const;
  // Both forms store the value, replacing an earlier one; they return 1.
  int SetConfigItem(const std::string& name, const std::string& value);
  int SetConfigItem(const std::string& name, const char* value);
  int SetConfigItem(const std::string& name, int value);
  // Integer item, or `fallback` when the item is absent or not positive.
  int GetConfigInt(const std::string& name, int fallback) const;
  // Removes a configuration item; returns 1 when it existed.
  int RemoveConfigItem(const std::string& name);

  // Stored pointers: the cache keeps the address only and never frees it.
  int SetValue(const std::string& name, void* value);
  void* GetValue(const std::string& name) const;  // null when absent

  // The application's client configuration; null until SetClientCfg. An
  // installed object stays valid for the life of the process, so a pointer
  // handed out earlier never dangles when the configuration is replaced.
  CClientCfg* GetClientCfg() const;
  void SetClientCfg(const std::string& agent, const std::string& version);

  GlobalCache(const GlobalCache&) = delete;
  GlobalCache& operator=(const GlobalCache&) = delete;

 private:
  GlobalCache();
  ~GlobalCache();
  struct State;
  State* state_;
};

// ---------------------------------------------------------------------------
// The application's language. Until the application sets a tag, it is derived
// from LC_ALL, then LANG: "en_US.UTF-8" gives "en-US"; "C", "POSIX" or
// nothing gives "en".
class QUILLON_API CMultiLanguage {
 public:
  static CMultiLanguage& Instance();

  std::string GetCurrConfigLanguageTag() const;
  // An empty tag goes back to the tag derived from the environment.
  void SetCurrConfigLanguageTag(const std::string& tag);

  CMultiLanguage(const CMultiLanguage&) = delete;
  CMultiLanguage& operator=(const CMultiLanguage&) = delete;

 private:
  CMultiLanguage();
  ~CMultiLanguage();
  struct State;
  State* state_;
};

// ---------------------------------------------------------------------------
// The list of account servers and the process-wide current position in it.
//
// List syntax: entries "[scheme://]host[:port]" separated by ";", "," or
// white space. The scheme is "http" or "https" (any case); a bare entry is
// plain HTTP. The port defaults to 80, or 443 for "https". IPv6 literals go
// in brackets ("[::1]:8080", whose host comes back without the brackets); a
// single "/" may end an entry with a scheme. Entries with an empty host, a
// non-numeric port, port 0 or a port above 65535 are skipped, and so are
// other schemes, paths, and host names with bytes other than letters,
// digits, "-", "." and "_". Duplicates are kept: each is one more attempt.
// Hosts compare without regard to ASCII case; a server is its host, port
// and scheme.
//
// No downgrade: once an "https" entry for a host and port has been seen (by
// Parse or SetDefaultServer, from whichever caller), every later bare or
// "http" entry for the same host and port is taken as "https". A list the
// service pushes therefore cannot move a server the application configured
// for TLS back to clear text. Clear forgets these hosts and ports.
//
// HTTPS only: while the configuration item "GC_HTTPS_ONLY" is 1 (read at
// each call), an entry that would be reached in clear text (neither "https"
// nor upgraded by the rule above) is not usable: Parse skips it and keeps
// the rest, SetDefaultServer changes nothing for it.
class QUILLON_API CLoginServers {
 public:
  struct Server {
    std::string host;
    int port = 80;
    bool secure = false;  // TLS ("https") instead of plain HTTP
  };

  static CLoginServers& Instance();

  // Same host (ASCII case ignored), port and scheme: one server.
  static bool SameServer(const Server& a, const Server& b);

  // `replace` true replaces the list, false appends to it. Afterwards the
  // current server is the recorded default when it is in the list, otherwise
  // the first entry. Returns the number of entries taken from `text`; a text
  // without a usable entry changes nothing, so a damaged list cannot leave
  // the client without servers (Clear empties the list).
  //
  // The list holds at most 64 entries: the first 64 usable ones of a text
  // are taken, an append takes only what still fits, and SetDefaultServer
  // does not add to a full list. One operation may try every entry, each at
  // the cost of a connect time-out, so a pushed list cannot hold it for long.
  int Parse(const std::string& text, bool replace);

  // The usable entries of `text` as a Parse of it alone would take them, in
  // order: at most 64, and an entry whose host and port the text also names
  // with "https" reached over TLS. Reads and changes no list or setting:
  // what a caller compares two spellings of a list with.
  static std::vector<Server> Entries(const std::string& text);

  // Whether every usable entry of `text` would be reached over TLS, by the
  // list's rules as they stand ("https", or an address seen as "https"
  // before); true for a text without a usable entry. Changes nothing: what
  // a caller asks before taking a list whole or not at all.
  bool AllSecure(const std::string& text) const;

  // Records the default server (one entry of the list syntax) and makes it
  // current when it is in the list (host, port and scheme all match). With
  // `addIfMissing` true a default that is not in the list is appended first;
  // with false it is only recorded, and becomes current when a later Parse
  // brings it in.
  void SetDefaultServer(const std::string& server, bool addIfMissing);
  std::string GetDefaultServer() const;

  // Current server; an empty host and port 0 when the list is empty.
  void GetCurrServer(std::string& host, int& port) const;
  // Moves the current position on by one (wrapping round) and returns the
  // new current server; an empty host and port 0 when the list is empty.
  void GetNextServer(std::string& host, int& port);
  // The same, also telling whether the server is reached over TLS (false
  // when the list is empty).
  void GetCurrServer(std::string& host, int& port, bool& secure) const;
  void GetNextServer(std::string& host, int& port, bool& secure);

  int GetServerCount() const;
  std::vector<Server> GetServers() const;
  // The list and the index of the current server in it, taken together
  // (`current` is 0 for an empty list): what one operation walks, whatever
  // other threads do to the list meanwhile.
  std::vector<Server> GetServers(std::size_t& current) const;
  // After a failed attempt: when the current server is `failed` (host,
  // port and scheme), moves the position on past it and past the entries
  // equal to it that follow; otherwise (another thread moved it already,
  // or the list was replaced) changes nothing.
  void MovePast(const Server& failed);
  // After a reply: makes the first entry equal to `server` current; nothing
  // changes when the list has no such entry.
  void SetCurrServer(const Server& server);
  // Empties the list and forgets the default server and the TLS-only hosts
  // and ports (see "No downgrade" above).
  void Clear();

  CLoginServers(const CLoginServers&) = delete;
  CLoginServers& operator=(const CLoginServers&) = delete;

 private:
  CLoginServers();
  ~CLoginServers();
  struct State;
  State* state_;
};

// ---------------------------------------------------------------------------
// Machine identity, paths and URL encoding.
namespace QUILLON {

// Stable per machine, 32 lower-case hex digits: /etc/machine-id, else
// /var/lib/dbus/machine-id (on Windows the registry's
// HKLM\SOFTWARE\Microsoft\Cryptography\MachineGuid without its dashes),
// else an identifier derived from the host (computer) name (documented
// fallback).
QUILLON_API std::string GetMachineId();

// MAC address of the interface that carries the IPv4 default route (on
// Windows the one the system picks for 0.0.0.0, else the route table's), as
// six upper-case hex pairs joined by "-" ("00-1A-2B-3C-4D-5E"); empty when
// there is no default route or no hardware address.
QUILLON_API std::string GetDftMac();

// Writes the running executable's directory, without a trailing separator,
// into `path`; returns false (leaving `path` as it is) when it cannot be
// determined.
QUILLON_API bool GetExeDirectory(std::string& path);

// Replaces the directory that GetExeDirectory reports (an installed program's
// own directory is rarely writable); trailing separators are dropped ("/",
// and on Windows "\" too), a root ("/", "C:\") is kept. An empty path
// restores the executable's own directory.
QUILLON_API void SetExeDirectory(const std::string& path);

// Percent-encodes every byte except ASCII letters, digits and "-._~", with
// upper-case hex digits.
QUILLON_API std::string URLEncode(const std::string& text);

// Reverses URLEncode; "+" becomes a space, malformed escapes stay as they are.
QUILLON_API std::string URLDecode(const std::string& text);

// Decimal text read the way C's atoi reads it (leading white space of the
// "C" locale, an optional sign, the digits up to the first other byte), but
// clamped to the int range instead of overflowing; 0 without a digit. Every
// integer the library reads from a reply is read this way.
QUILLON_API int DecimalToInt(const std::string& text);

}  // namespace QUILLON

// ---------------------------------------------------------------------------
// INI-style profile text.
//
// Items before the first "[name]" header form the unnamed section (empty
// name). An item's key ends at the first "="; values are kept byte for byte
// (only the line end, LF or CRLF, is removed); keys are not trimmed either.
// Blank lines (nothing but spaces, tabs or CRs) and lines starting with ";"
// or "#" are skipped. A header's name lies between its "[" and the line's
// last "]". When a key repeats within a section, every item is kept in
// order and GetItem answers with the first one.
struct QUILLON_API ProfileItem {
  std::string key;
  std::string value;
};

class QUILLON_API ProfileSection {
 public:
  using ItemList = std::vector<ProfileItem>;

  explicit ProfileSection(std::string name = std::string());

  // True when the section has that name; "" matches the unnamed section.
  bool operator==(const std::string& name) const;
  const std::string& GetSetionName() const;

  // Value of the first item with that key, or empty text when absent.
  std::string GetItem(const std::string& key) const;
  // The value read as atoi does (leading blanks, optional sign, digits up to
  // the first other character), clamped to the int range; 0 when absent or
  // not numeric.
  int GetItemInt(const std::string& key) const;
  bool IsItemExist(const std::string& key) const;

  void AddItem(std::string key, std::string value);
  // Room for `count` items in all, so that adding them allocates once.
  void ReserveItems(std::size_t count);
  const ItemList& GetItems() const;
  // Hands the items over, leaving the section without any: records can then
  // be built by move instead of by copy.
  ItemList TakeItems();
  ItemList::const_iterator begin() const;
  ItemList::const_iterator end() const;

 private:
  std::string name_;
  ItemList items_;
};

class QUILLON_API CProfileFile {
 public:
  using SectionList = std::vector<ProfileSection>;

  // Parses `text`, replacing the sections of an earlier Load. Up to 15
  // trailing zero bytes are not content (they fill a cipher block). Returns
  // false, with no sections, for text that is empty after them, for a zero
  // byte anywhere else, and for a line that is neither a header, a comment,
  // blank, nor an item with "=". Work and memory are linear in the text.
  bool Load(const std::string& text);
  // The same, and also false when the text holds more than `maxEntries`
  // sections and items together; that is found before anything is built, so
  // a small text cannot make the parsed form cost more than the caller allows.
  bool Load(const std::string& text, std::size_t maxEntries);
  // The same, asking `stop` every few thousand lines of each pass; once it
  // answers true the load fails (false, no sections). An empty `stop`
  // never stops.
  bool Load(const std::string& text, std::size_t maxEntries, const std::function<bool()>& stop);
  const SectionList& GetSections() const;
  // Hands the sections over, leaving none.
  SectionList TakeSections();

 private:
  SectionList sections_;
};

// ---------------------------------------------------------------------------
// Server records, built from a reply item's key and value.
//
// The value's fields are its texts between ","; an empty value has none,
// and empty fields between, before or after commas count ("a,,b" has
// three). For a catalogue entry (ServerInfo) the reference service sends
// "name,address,level,location"; for an online ratio (ServerOnlineRatio)
// the key is the server id and the value the ratio in percent.
//
// A value comes from the service and may be huge (64 MiB of commas fits the
// default bounds), so no accessor splits it whole:
//   GetField(i)  the i-th field, empty when there are fewer; it scans only
//                up to that field and allocates only the text it returns.
//   GetFields()  the first kMaxFields fields (256), not all of them: the
//                rest are reached through GetField(i) or GetValue().
class QUILLON_API ServerInfo {
 public:
  ServerInfo(const std::string& key, const std::string& value);
  // Takes the texts over: a large catalogue is not copied a second time.
  ServerInfo(std::string&& key, std::string&& value);

  // An enumerator, not a static member: nothing to export or import.
  enum : std::size_t { kMaxFields = 256 };

  const std::string& GetKey() const;
  const std::string& GetValue() const;
  std::vector<std::string> GetFields() const;
  std::string GetField(std::size_t index) const;

 private:
  std::string key_;
  std::string value_;
};

class QUILLON_API ServerOnlineRatio {
 public:
  ServerOnlineRatio(const std::string& key, const std::string& value);
  ServerOnlineRatio(std::string&& key, std::string&& value);

  // An enumerator, not a static member: nothing to export or import.
  enum : std::size_t { kMaxFields = 256 };

  const std::string& GetKey() const;
  const std::string& GetValue() const;
  std::vector<std::string> GetFields() const;
  std::string GetField(std::size_t index) const;
  // The value read as an integer (atoi-like, clamped), 0 when not numeric;
  // the scan stops at the first byte after the number.
  int GetRatio() const;

 private:
  std::string key_;
  std::string value_;
};

// ---------------------------------------------------------------------------
// In-memory bzip2 decompression.
//
// Decompress() writes the decompressed bytes into the output text and
// returns non-zero on success; it returns zero for a damaged or truncated
// stream and for one whose output would exceed the cap ("GC_BZ2_MAX_OUTPUT",
// 64 MiB by default, or SetMaxOutput). Bytes after the end of the stream
// are accepted and ignored.
class QUILLON_API CMemBZ2Decompress {
 public:
  CMemBZ2Decompress(const char* data, std::size_t length, std::string& output);

  // 0 (the initial value) means the configured cap.
  void SetMaxOutput(std::size_t bytes);
  int Decompress();
  // The same, asking `stop` between rounds of at most 64 KiB of output;
  // once it answers true the decompression ends, as a failure (0, output
  // empty). An empty `stop` never stops.
  int Decompress(const std::function<bool()>& stop);

 private:
  const char* data_;
  std::size_t length_;
  std::string& output_;
  std::size_t maxOutput_;
};
