// The benchmark groups, registered in the order the summary lists them.
#pragma once

namespace bench {

void RegisterCodecBenchmarks();       // body encoding and decoding
void RegisterProfileBenchmarks();     // profile parsing of the catalogue
void RegisterFillBenchmarks();        // parse and fill of split and distinct groups
void RegisterSignInBenchmarks();      // one facade operation end to end
void RegisterCatalogueBenchmarks();   // GetVpnServers: time and peak heap
void RegisterCliBenchmarks();         // `servers` in the CLI next to the library alone
void RegisterFailoverBenchmarks();    // Execute across refusing servers
void RegisterReuseBenchmarks();       // connection reuse at 50 ms RTT through a latency shim
void RegisterWorstReplyBenchmarks();  // peak memory of the costliest replies
void RegisterStoreBenchmarks();       // the service on each store, 64 clients

}  // namespace bench
