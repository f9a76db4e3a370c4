// Decoding of one request body of the wire protocol (pelorlib/kv_wire.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kv_wire.h"

namespace emulator {

// One decoded request. Which fields are set depends on the opcode:
//   Login: first = user, second = password
//   CreateUser: first = id, second = password, number = mask
//   RemoveUser: first = id
//   SetUserParam: number = param, first = user
//   ReadObject, RemoveObject: first = name
//   WriteObject: first = name, data
//   RenameObject: first = old name, second = new name
struct Request {
  kvwire::Op op = kvwire::Op::Status;
  std::string first;
  std::string second;
  uint32_t number = 0;
  std::vector<uint8_t> data;
};

// Returns the request, or nothing when the body is malformed: an unknown
// opcode, a wrong protocol magic, a field that runs past the end, a string
// with a NUL byte or longer than its field allows, an object larger than the
// limit, or bytes left over. Never reads outside [body, body + size).
std::optional<Request> decodeRequest(const uint8_t* body, size_t size);

}  // namespace emulator
