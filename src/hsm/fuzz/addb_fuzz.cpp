// Feeds arbitrary objects to the addb reader: the bytes arrive through the
// receiver in chunks of a size the input chooses, as the client library
// would deliver them, and the parser splits what was received. Whatever the
// parser accepts must survive a write and a second parse unchanged, as far
// as it fits the writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "hsm/addb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] * 64u;  // 1 to 16,321 bytes
  ++data;
  --size;

  static const std::unique_ptr<AddbReceiveBuffer> received = std::make_unique<AddbReceiveBuffer>();
  received->cursor = 0;
  received->received = 0;
  received->overflowed = false;
  size_t at = 0;
  do {
    const size_t n = size - at < chunk ? size - at : chunk;
    appendAddbChunk(data + at, static_cast<uint32_t>(n), received.get(), at + n == size ? 1 : 0);
    at += n;
  } while (at < size);
  if (received->cursor != 0 || received->received > kAddbTextSize - 1) std::abort();
  if (received->overflowed != (size > kAddbTextSize - 1)) std::abort();

  MemberList members;
  if (!parseAddbText(std::string_view(received->text, received->received), members)) return 0;

  // The writer ends every field with CR LF; a text whose last field ended
  // with a lone line end is one byte shorter than its rewrite, so at the
  // very limit its last member may not fit.
  static const std::unique_ptr<AddbBuffer> written = std::make_unique<AddbBuffer>();
  const size_t kept = fillAddbText(members, *written);
  if (kept + 1 < members.size() || (kept < members.size() && received->received < kAddbTextSize - 1))
    std::abort();
  members.resize(kept);
  MemberList again;
  if (!parseAddbText(std::string_view(written->text, written->length), again) || again != members)
    std::abort();
  return 0;
}
