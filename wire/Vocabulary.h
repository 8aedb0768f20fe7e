// The account-service protocol's names, each spelled once: scripts, form
// keys, reply sections and items, the key letters and markers, and the
// configuration-cache items the library and the host application share.
// The library, the reference service, the tools and the tests all take them
// from here. (The published wire examples in docs/wire-protocol.md spell the
// bytes out independently; a test checks them against the code.)
#pragma once

#include "facade/ConfigItems.h"

namespace protocol {

// Every script lives under this path on an account server.
inline constexpr char kScriptDirectory[] = "/vpn_intl/";

// Scripts.
inline constexpr char kSignInScript[] = "loginin.php";
inline constexpr char kSignOutScript[] = "logout.php";
inline constexpr char kVersionScript[] = "getversion.php";
inline constexpr char kRegisterScript[] = "register.php";
inline constexpr char kRechargeScript[] = "recharge.php";
inline constexpr char kLeaseScript[] = "getdailupinfo.php";
inline constexpr char kReleaseScript[] = "releasedialupinfo.php";
inline constexpr char kHandshakeScript[] = "verification.php";
inline constexpr char kUserInfoScript[] = "getuserinfo.php";
inline constexpr char kOnlineRatioScript[] = "onlineratio.php";
inline constexpr char kCatalogueScript[] = "getserverinfo.php";

// Form keys of requests (and the reply items of the same name).
inline constexpr char kAgent[] = "agent";
inline constexpr char kLang[] = "lang";
inline constexpr char kUserName[] = "username";
inline constexpr char kPassword[] = "password";
inline constexpr char kMagic[] = "magic";  // the session token
inline constexpr char kMachineId[] = "mid";
inline constexpr char kVersion[] = "ver";
inline constexpr char kMac[] = "mac";
inline constexpr char kServerId[] = "vpnserverid";
inline constexpr char kLendUserName[] = "lendusername";
inline constexpr char kLendPassword[] = "lendpassword";
inline constexpr char kLeaseToken[] = "dailsession";
inline constexpr char kOutcome[] = "result";  // what releasedialupinfo.php reports
inline constexpr char kPhone[] = "phone";
inline constexpr char kQq[] = "qq";
inline constexpr char kEmail[] = "email";
inline constexpr char kMemo[] = "memo";
inline constexpr char kCardNo[] = "cardno";
inline constexpr char kCardPassword[] = "cardpw";

// The release outcome that reports without giving the lease up.
inline constexpr int kKeepLeaseOutcome = 9999999;

// Reply envelope: the unnamed leading section.
inline constexpr char kResult[] = "result";
inline constexpr char kErrorDesc[] = "errdesc";

// Reply sections and their items.
inline constexpr char kUserInfoSection[] = "userinfo";
inline constexpr char kVpnPd[] = "vpnpd";
inline constexpr char kTimeLeft[] = "timeleft";
inline constexpr char kUserLevelDesc[] = "userlevel_desc";
inline constexpr char kUserLevel[] = "userlevel";
inline constexpr char kUserMode[] = "usermode";
inline constexpr char kSimUses[] = "simuses";
inline constexpr char kMoneyLeft[] = "moneyleft";
inline constexpr char kTimeTip[] = "timetip";
inline constexpr char kServerLevelSection[] = "serverlevel";
inline constexpr char kWarningSection[] = "warning";
inline constexpr char kTip[] = "tip";
inline constexpr char kMessage[] = "message";
inline constexpr char kUrl[] = "url";
inline constexpr char kConfigSection[] = "config";
inline constexpr char kHeartbeatSlot[] = "heartbeat_slot";
inline constexpr char kOnlineRatioSlot[] = "onlineratio_slot";
inline constexpr char kKeyA[] = "m1";
inline constexpr char kKeyB[] = "m2";
inline constexpr char kKeyC[] = "m3";
inline constexpr char kDefaultLoginServer[] = "default_login_server";
inline constexpr char kLoginServer[] = "login_server";

// Bodies: the letter of an unkeyed body, the rotation of key letters, and
// the marker of a bzip2-compressed reply.
inline constexpr char kUnkeyedLetter[] = "Z";
inline constexpr char kKeyLetters[] = "ABC";
inline constexpr char kCompressedMarker[] = "YYY=";

// Configuration-cache items, public (facade/ConfigItems.h): what the
// service pushes, what the library tells of a pushed list it refused, and the
// library's own settings.
namespace config = proxyhelper::config;
inline constexpr auto& kGcHeartbeatSlot = config::kHeartbeatSlot;
inline constexpr auto& kGcOnlineRatioSlot = config::kOnlineRatioSlot;
inline constexpr char kGcCipherPrefix[] = "GC_CIPER_";  // + the key letter
inline constexpr auto& kGcCipherA = config::kCipherA;
inline constexpr auto& kGcCipherB = config::kCipherB;
inline constexpr auto& kGcCipherC = config::kCipherC;
inline constexpr auto& kGcpCurServerConfig = config::kCurrentServerConfig;
inline constexpr auto& kGcRefusedLoginServer = config::kRefusedLoginServer;
inline constexpr auto& kGcHttpTimeoutMs = config::kHttpTimeoutMs;
inline constexpr auto& kGcHttpStallMs = config::kHttpStallMs;
inline constexpr auto& kGcHttpReuse = config::kHttpReuse;
inline constexpr auto& kGcHttpIdleMs = config::kHttpIdleMs;
inline constexpr auto& kGcHttpMaxBody = config::kHttpMaxBody;
inline constexpr auto& kGcBz2MaxOutput = config::kBz2MaxOutput;
inline constexpr auto& kGcMaxReplyItems = config::kMaxReplyItems;
inline constexpr auto& kGcOperationTimeoutMs = config::kOperationTimeoutMs;
inline constexpr auto& kGcUserAgent = config::kUserAgent;
inline constexpr auto& kGcCaBundle = config::kCaBundle;
inline constexpr auto& kGcHttpsOnly = config::kHttpsOnly;

}  // namespace protocol
