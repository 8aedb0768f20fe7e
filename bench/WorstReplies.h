// Replies as costly as a service can make them within the client's default
// bounds: a body of at most 32 MiB on the wire ("GC_HTTP_MAX_BODY"), at
// most 64 MiB of decompressed text ("GC_BZ2_MAX_OUTPUT") and at most
// 2,000,000 sections and items together ("GC_MAX_REPLY_ITEMS"). Each one is
// keyed with the benchmark key of letter "A", bzip2-compressed, and its
// payload is filled up after the end of the stream so that the body itself
// is as large as the bound allows.
//
// Each reply an application walks (catalogue and ratios) has a twin half as
// large: half the values, sections or commas, and half the wire bytes. The
// time of the two shows whether the call and the walk grow linearly.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bench/ServiceProcess.h"

namespace bench {

// The client's default bounds that the replies are made to meet.
constexpr std::size_t kMaxWireBytes = 32u * 1024 * 1024;
constexpr std::size_t kMaxDecodedBytes = 64u * 1024 * 1024;
constexpr std::size_t kMaxReplyEntries = 2000000;

enum class ReplyOperation { kGetVpnServers, kGetUserInfo, kGetOnlineRatio };

struct WorstReply {
  std::string name;   // counter prefix
  std::string label;  // table label
  ReplyOperation operation;
  bool overBound;       // holds more entries than the client accepts
  std::size_t records;  // servers, ratios or levels the caller gets, if accepted
  ReplyBuilder body;
  // For a twin half as large: the name of the full reply; else empty.
  std::string halfOf;
};

// The replies, full ones in table order, then the half twins. Building one
// takes seconds (bzip2 of 64 MiB), which is why the scripted service builds
// each on first request.
const std::vector<WorstReply>& WorstReplies();

// Sections and items of profile text, counted the way the client bounds
// them (the unnamed section counts once it has an item).
std::size_t CountEntries(const std::string& text);

}  // namespace bench
