// proxyhelper: the names of the configuration-cache items an application
// reads or sets (GlobalCache, hostlib/quillon.h). What each means, its
// default and when it is read: docs/host-library.md. Includes nothing: any
// layer may take the names from here.
#pragma once

namespace proxyhelper {
namespace config {

// Pushed by the service with GetUserInfo, for the application to read.
inline constexpr char kHeartbeatSlot[] = "GC_HEARTBEAT_SLOT";      // seconds between ShakeHands calls
inline constexpr char kOnlineRatioSlot[] = "GC_ONLINERATIO_SLOT";  // seconds between GetOnlineRatio calls
inline constexpr char kCipherA[] = "GC_CIPER_A";                   // the keys of keyed requests
inline constexpr char kCipherB[] = "GC_CIPER_B";
inline constexpr char kCipherC[] = "GC_CIPER_C";
inline constexpr char kCurrentServerConfig[] = "GCP_CUR_SERVERCONFIG";  // a ServerConfig*, the application's
// A pushed account-server list that kHttpsOnly made the library ignore.
inline constexpr char kRefusedLoginServer[] = "GC_REFUSED_LOGIN_SERVER";

// The library's settings, read at each use.
inline constexpr char kHttpTimeoutMs[] = "GC_HTTP_TIMEOUT_MS";
inline constexpr char kHttpStallMs[] = "GC_HTTP_STALL_MS";
inline constexpr char kHttpMaxBody[] = "GC_HTTP_MAX_BODY";
inline constexpr char kBz2MaxOutput[] = "GC_BZ2_MAX_OUTPUT";
inline constexpr char kMaxReplyItems[] = "GC_MAX_REPLY_ITEMS";
inline constexpr char kOperationTimeoutMs[] = "GC_OPERATION_TIMEOUT_MS";
inline constexpr char kUserAgent[] = "GC_USER_AGENT";
inline constexpr char kCaBundle[] = "GC_CA_BUNDLE";
inline constexpr char kHttpsOnly[] = "GC_HTTPS_ONLY";
inline constexpr char kHttpReuse[] = "GC_HTTP_REUSE";
inline constexpr char kHttpIdleMs[] = "GC_HTTP_IDLE_MS";

// What the library uses while kHttpMaxBody and kMaxReplyItems are unset.
inline constexpr int kDefaultHttpMaxBody = 32 * 1024 * 1024;
inline constexpr int kDefaultMaxReplyItems = 2000000;

}  // namespace config
}  // namespace proxyhelper
