#include "request.h"

#include "pelorlib.h"

namespace emulator {

namespace {
constexpr size_t kObjectNameMax = KV_OBJECT_NAME_FIELD_SIZE - 1;
}

std::optional<Request> decodeRequest(const uint8_t* body, size_t size) {
  kvwire::Reader in(body, size);
  Request r;
  const uint8_t op = in.u8();
  if (!in.ok()) return std::nullopt;
  r.op = static_cast<kvwire::Op>(op);
  switch (r.op) {
    case kvwire::Op::Login:
      if (in.u32() != kvwire::kProtocolMagic) return std::nullopt;
      r.first = in.str(KV_USER_NAME_MAX);
      r.second = in.str(KV_PASSWORD_MAX);
      break;
    case kvwire::Op::ListUsers:
    case kvwire::Op::Logout:
    case kvwire::Op::Status:
      break;
    case kvwire::Op::CreateUser:
      r.first = in.str(KV_USER_NAME_MAX);
      r.second = in.str(KV_PASSWORD_MAX);
      r.number = in.u32();
      break;
    case kvwire::Op::RemoveUser:
      r.first = in.str(KV_USER_NAME_MAX);
      break;
    case kvwire::Op::SetUserParam:
      r.number = in.u32();
      r.first = in.str(KV_USER_NAME_MAX);
      break;
    case kvwire::Op::ReadObject:
    case kvwire::Op::RemoveObject:
      r.first = in.str(kObjectNameMax);
      break;
    case kvwire::Op::WriteObject:
      r.first = in.str(kObjectNameMax);
      r.data = in.blob(kvwire::kMaxObjectBytes);
      break;
    case kvwire::Op::RenameObject:
      r.first = in.str(kObjectNameMax);
      r.second = in.str(kObjectNameMax);
      break;
    default:
      return std::nullopt;
  }
  if (!in.atEnd()) return std::nullopt;
  return r;
}

}  // namespace emulator
