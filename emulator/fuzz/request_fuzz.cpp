// libFuzzer entry for the emulator's request decoder: any byte string must
// either decode or be refused, without reading outside the input. A decoded
// request is re-encoded and decoded again, and must come back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kv_wire.h"
#include "request.h"

namespace {

kvwire::Writer encode(const emulator::Request& r) {
  kvwire::Writer w;
  w.u8(static_cast<uint8_t>(r.op));
  switch (r.op) {
    case kvwire::Op::Login: w.u32(kvwire::kProtocolMagic).str(r.first).str(r.second); break;
    case kvwire::Op::CreateUser: w.str(r.first).str(r.second).u32(r.number); break;
    case kvwire::Op::RemoveUser:
    case kvwire::Op::ReadObject:
    case kvwire::Op::RemoveObject: w.str(r.first); break;
    case kvwire::Op::SetUserParam: w.u32(r.number).str(r.first); break;
    case kvwire::Op::WriteObject: w.str(r.first).blob(r.data.data(), r.data.size()); break;
    case kvwire::Op::RenameObject: w.str(r.first).str(r.second); break;
    default: break;
  }
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto request = emulator::decodeRequest(data, size);
  if (!request) return 0;
  kvwire::Writer w = encode(*request);
  const auto& frame = w.frame();
  const auto again = emulator::decodeRequest(frame.data() + 4, frame.size() - 4);
  if (!again || again->op != request->op || again->first != request->first ||
      again->second != request->second || again->number != request->number ||
      again->data != request->data)
    std::abort();
  return 0;
}
