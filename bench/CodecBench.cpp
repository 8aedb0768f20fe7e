// EncodeBody and DecodeBody next to a bare Crypto++ / libbz2 pipeline doing
// the same work, for bodies and replies of 1 KiB to 8 MiB. Library and floor
// run alternately in one benchmark and are timed in thread CPU time.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <string>

#include "bench/CodecFloor.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/ReplyCorpus.h"
#include "bench/ServiceProcess.h"
#include "protection/BodyCodec.h"

namespace bench {
namespace {

struct SizeCase {
  std::size_t bytes;
  int rounds;  // per repetition: enough samples, bounded time
};
constexpr SizeCase kSizes[] = {{1u << 10, 2000}, {64u << 10, 100}, {1u << 20, 10}, {8u << 20, 3}};
// Below this size fixed costs (key lookup and derivation) dominate; the
// ratio is shown but has no goal.
constexpr std::size_t kGoalFromSize = 64u << 10;
constexpr double kCodecGoal = 1.15;

std::string SizeName(std::size_t bytes) {
  if (bytes >= (1u << 20)) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes >> 10) + " KiB";
}

std::string KeyItemFor(char letter) {
  const devserver::CipherKeys keys = BenchKeys();
  const std::string* item = keys.ForLetter(letter);
  return item != nullptr ? *item : std::string();
}

// Times one call in thread CPU time; fails when it produced nothing.
TimedOperation CpuTimed(std::function<std::string()> work) {
  return [work](double* seconds, std::string* error) {
    const double start = ThreadCpuSeconds();
    std::string out = work();
    *seconds = ThreadCpuSeconds() - start;
    benchmark::DoNotOptimize(out.data());
    *error = "empty result";
    return !out.empty();
  };
}

// The floor is only a floor if it produces what the library produces:
// checked before the measured rounds.
bool SameOutput(benchmark::State& state, bool same, const std::string& what) {
  if (!same) state.SkipWithError(("library and floor disagree: " + what).c_str());
  return same;
}

void Encode(benchmark::State& state, int mode, std::size_t bytes) {
  const std::string& form = ProfileTextOfSize(bytes);
  const std::string body = EncodeBody(form, mode);
  const std::string floor =
      mode == 1 ? FloorEncodeUnkeyed(form) : FloorEncodeKeyed(form, body[0], KeyItemFor(body[0]));
  if (!SameOutput(state, body == floor, "encoding")) return;
  // The library rotates through the three keys; so does the floor.
  const std::string items[] = {KeyItemFor('A'), KeyItemFor('B'), KeyItemFor('C')};
  const char letters[] = {'A', 'B', 'C'};
  std::size_t turn = 0;
  RunInterleaved(state, {
                            {"library", CpuTimed([&] { return EncodeBody(form, mode); })},
                            {"floor", CpuTimed([&] {
                               if (mode == 1) return FloorEncodeUnkeyed(form);
                               const std::size_t now = turn;
                               turn = (turn + 1) % 3;
                               return FloorEncodeKeyed(form, letters[now], items[now]);
                             })},
                        });
}

void Decode(benchmark::State& state, Framing framing, std::size_t bytes) {
  const std::string& reply = FramedReply(bytes, framing);
  const std::string keyItem = KeyItemFor('A');
  const std::string text = DecodeBody(reply);
  const std::string& original = ProfileTextOfSize(bytes);
  // Keyed, uncompressed replies keep their block fill (zero bytes).
  const bool same = text == FloorDecode(reply, keyItem) && text.size() >= original.size() &&
                    text.compare(0, original.size(), original) == 0 &&
                    text.find_first_not_of('\0', original.size()) == std::string::npos;
  if (!SameOutput(state, same, "decoding")) return;
  RunInterleaved(state, {
                            {"library", CpuTimed([&] { return DecodeBody(reply); })},
                            {"floor", CpuTimed([&] { return FloorDecode(reply, keyItem); })},
                        });
}

struct DecodeCase {
  const char* name;
  const char* label;
  Framing framing;
};
constexpr DecodeCase kDecodeCases[] = {
    {"decode_unkeyed", "DecodeBody Z", Framing::kUnkeyed},
    {"decode_keyed", "DecodeBody keyed", Framing::kKeyed},
    {"decode_keyed_bzip2", "DecodeBody keyed+bzip2", Framing::kKeyedCompressed},
};

void AddCodecRow(const std::string& label, const std::string& name, std::size_t bytes) {
  Row row;
  row.label = label + ", " + SizeName(bytes);
  row.kind = RowKind::kCounterRatioAtMost;
  row.subject = name;
  row.counter = "library_p10";
  row.floorCounter = "floor_p10";
  row.goal = bytes >= kGoalFromSize ? kCodecGoal : 0;
  AddRow(row);
}

}  // namespace

void RegisterCodecBenchmarks() {
  for (int mode : {1, 2}) {
    for (const SizeCase& size : kSizes) {
      const std::string name = "codec/encode_mode" + std::to_string(mode) + "/" + std::to_string(size.bytes);
      benchmark::RegisterBenchmark(name.c_str(), Encode, mode, size.bytes)
          ->UseManualTime()
          ->Iterations(size.rounds)
          ->Unit(benchmark::kMicrosecond);
      AddCodecRow("EncodeBody mode " + std::to_string(mode), name, size.bytes);
    }
  }
  for (const DecodeCase& decode : kDecodeCases) {
    for (const SizeCase& size : kSizes) {
      const std::string name = std::string("codec/") + decode.name + "/" + std::to_string(size.bytes);
      benchmark::RegisterBenchmark(name.c_str(), Decode, decode.framing, size.bytes)
          ->UseManualTime()
          ->Iterations(size.rounds)
          ->Unit(benchmark::kMicrosecond);
      AddCodecRow(decode.label, name, size.bytes);
    }
  }
}

}  // namespace bench
