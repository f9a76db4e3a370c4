// libFuzzer entry for the client's listing reader (kv_wire.h): the input is
// cut into frame bodies at its length prefixes and fed in turn; any bytes
// must end in a listing, a refusal, a frame refused as malformed or a wait
// for more, without reading outside the input. A complete listing is
// re-encoded and read again, and must come back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kv_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvwire::ListingReader reader(16);
  using Step = kvwire::ListingReader::Step;
  Step step = Step::More;
  while (step == Step::More && size >= 4) {
    const size_t length = kvwire::getU32(data);
    if (length > size - 4) break;
    step = reader.take(data + 4, length);
    data += 4 + length;
    size -= 4 + length;
  }
  if (step != Step::Done) return 0;
  std::vector<std::string> names;
  const std::string& all = reader.names();
  size_t at = 0;
  for (uint32_t i = 0; i < reader.count(); ++i) {
    const size_t end = all.find('\0', at);
    if (end == std::string::npos) std::abort();
    names.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  if (at != all.size()) std::abort();
  std::vector<uint8_t> stream;
  kvwire::appendListingFrames(names, [](const std::string& n) { return std::string_view(n); }, stream);
  kvwire::ListingReader again(16);
  const uint8_t* p = stream.data();
  size_t left = stream.size();
  Step second = Step::More;
  while (second == Step::More && left >= 4) {
    const size_t length = kvwire::getU32(p);
    second = again.take(p + 4, length);
    p += 4 + length;
    left -= 4 + length;
  }
  if (second != Step::Done || left != 0 || again.names() != all) std::abort();
  return 0;
}
