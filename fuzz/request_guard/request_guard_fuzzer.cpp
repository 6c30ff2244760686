// The first byte sets how the rest is split into deliveries, as a socket would split it; the
// rest is what a client sent. Small limits, so that every limit is reached often. Whatever the
// split, the reader must come to the same end, never take more than it was given, and never
// hold more than its limits allow.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/request_guard.h"

namespace {

constexpr geomuxer::RequestLimits kLimits{.maxLine = 64, .maxHeaderLines = 8, .maxHead = 256, .maxBody = 512};

struct Outcome {
  geomuxer::RequestReader::State state;
  int status;
  std::string body;
  std::size_t used;
};

Outcome run(std::string_view input, std::size_t piece) {
  using State = geomuxer::RequestReader::State;
  geomuxer::RequestReader reader(kLimits);
  std::size_t at = 0;
  while (at < input.size() && (reader.state() == State::head || reader.state() == State::body)) {
    const std::string_view bytes = input.substr(at, piece);
    const std::size_t used = reader.feed(bytes);
    if (used > bytes.size()) __builtin_trap();
    at += used;
    if (used == 0 && reader.state() != State::body) break;  // the head ended exactly here
    if (used == 0 && !bytes.empty()) __builtin_trap();       // a body that takes nothing would spin
    if (reader.state() == State::body && at == input.size()) break;
  }
  if (reader.body().size() > kLimits.maxBody) __builtin_trap();
  if (reader.head().headers.size() > kLimits.maxHeaderLines) __builtin_trap();
  if (reader.state() == State::failed && reader.errorStatus() < 400) __builtin_trap();
  return {reader.state(), reader.errorStatus(), reader.body(), at};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 17;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const Outcome whole = run(input, input.size() + 1);
  const Outcome split = run(input, piece);
  if (whole.state != split.state || whole.status != split.status || whole.body != split.body) __builtin_trap();
  // A refusal may come a few bytes earlier or later; anything else ends at the same byte.
  if (whole.state != geomuxer::RequestReader::State::failed && whole.used != split.used) __builtin_trap();
  // Ranges against a file size read from the input's first bytes.
  geomuxer::ByteRange range;
  const std::uint64_t fileSize = size > 1 ? data[1] * 7u : 0;
  if (geomuxer::readRange(input, fileSize, range) == geomuxer::RangeAnswer::part &&
      (range.length == 0 || range.first + range.length > fileSize)) {
    __builtin_trap();
  }
  return 0;
}
