// Wire protocol between the pelorlib stand-in client and hsm-emulator.
//
// Every message is a frame: a 32-bit little-endian body length, then the
// body. A body is at most kMaxFrameBody bytes; a longer length is a protocol
// violation and the receiver closes the connection.
//
// Request body:  u8 opcode, then the opcode's fields.
// Response body: u32 result code, then the opcode's reply fields (present
//                only when the code is 0).
// Fields: u32 little-endian; str = u16 length + bytes (no NUL inside);
//         blob = u32 length + bytes.
//
//   Login        u32 kProtocolMagic, str user, str password
//   ListUsers    -                         -> u32 total, u32 n, n x str  (one or
//                                             more frames; see below)
//   CreateUser   str id, str password, u32 mask
//   RemoveUser   str id
//   SetUserParam u32 param, str user
//   ReadObject   str name                  -> blob data
//   WriteObject  str name, blob data
//   RemoveObject str name
//   RenameObject str oldName, str newName
//   Logout       -          (server replies, then closes)
//   Status       -                         -> u32 open sessions, u32 logins so far
//
// A connection must log in before anything but Login and Status; Status is
// answered only before login (it serves tests and the admin command line).
//
// A listing of any size: ListUsers is the one request answered by more than
// one frame. Every frame of the answer carries the code 0, the same total
// (the number of users, at most kMaxListedUsers) and the next n names of the
// listing, in order, in at most kListChunkBytes of names. n is at least 1,
// except in the single frame of an empty listing; the answer ends with the
// frame that brings the names received to the total. A refused listing is
// one frame holding only its code. The users are taken from one snapshot of
// the HSM before the first frame is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kvwire {

inline constexpr uint32_t kProtocolMagic = 0x4B565331;  // "KVS1"
inline constexpr uint32_t kMaxObjectBytes = 1024u * 1024u;
inline constexpr uint32_t kMaxFrameBody = kMaxObjectBytes + 1024u;
inline constexpr size_t kMaxStringBytes = 255;
// Names per listing frame, in bytes of their str fields.
inline constexpr size_t kListChunkBytes = 64u * 1024u;
// The largest listing a client accepts: far beyond any real HSM, yet small
// enough that a corrupt or hostile total cannot make it gather without end
// (at most about 18 bytes a name: about 75 MB).
inline constexpr uint32_t kMaxListedUsers = 4u * 1024u * 1024u;

enum class Op : uint8_t {
  Login = 1,
  ListUsers = 2,
  CreateUser = 3,
  RemoveUser = 4,
  SetUserParam = 5,
  ReadObject = 6,
  WriteObject = 7,
  RemoveObject = 8,
  RenameObject = 9,
  Logout = 10,
  Status = 32,
};

inline void putU32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t getU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Builds one frame; the length prefix is filled in by frame().
// Its buffer is reserved once and zeroed on destruction: a login frame
// carries a password, which is left nowhere once the frame has been sent.
class Writer {
 public:
  Writer() : buf_(4, 0) { buf_.reserve(kInitialCapacity); }
  ~Writer() {
    volatile uint8_t* bytes = buf_.data();
    for (size_t i = 0; i < buf_.size(); ++i) bytes[i] = 0;
  }
  Writer(const Writer&) = default;
  Writer& operator=(const Writer&) = default;
  Writer& u8(uint8_t v) {
    buf_.push_back(v);
    return *this;
  }
  Writer& u32(uint32_t v) {
    uint8_t b[4];
    putU32(b, v);
    buf_.insert(buf_.end(), b, b + 4);
    return *this;
  }
  // REQUIRES: s.size() <= kMaxStringBytes (callers check their fields first).
  Writer& str(std::string_view s) {
    const auto n = static_cast<uint16_t>(s.size());
    buf_.push_back(static_cast<uint8_t>(n));
    buf_.push_back(static_cast<uint8_t>(n >> 8));
    buf_.insert(buf_.end(), s.begin(), s.end());
    return *this;
  }
  Writer& blob(const uint8_t* data, size_t n) {
    u32(static_cast<uint32_t>(n));
    if (n != 0) buf_.insert(buf_.end(), data, data + n);
    return *this;
  }
  // The complete frame, length prefix included.
  std::vector<uint8_t>& frame() {
    putU32(buf_.data(), static_cast<uint32_t>(buf_.size() - 4));
    return buf_;
  }

 private:
  static constexpr size_t kInitialCapacity = 1024;  // any login or user frame
  std::vector<uint8_t> buf_;
};

// Reads fields from one body. Any read past the end, or a string with a NUL
// byte or longer than allowed, sets the reader to failed; later reads then
// return empty values. ok() and atEnd() tell the caller whether the body was
// well formed.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), n_(size) {}

  uint8_t u8() {
    if (!need(1)) return 0;
    const uint8_t v = *p_;
    skip(1);
    return v;
  }
  uint32_t u32() {
    if (!need(4)) return 0;
    const uint32_t v = getU32(p_);
    skip(4);
    return v;
  }
  std::string str(size_t maxBytes = kMaxStringBytes) {
    if (!need(2)) return {};
    const size_t len = static_cast<size_t>(p_[0]) | static_cast<size_t>(p_[1]) << 8;
    skip(2);
    if (len > maxBytes || !need(len)) {
      ok_ = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(p_), len);
    if (s.find('\0') != std::string::npos) {
      ok_ = false;
      return {};
    }
    skip(len);
    return s;
  }
  std::vector<uint8_t> blob(size_t maxBytes) {
    const uint32_t len = u32();
    if (!ok_ || len > maxBytes || !need(len)) {
      ok_ = false;
      return {};
    }
    std::vector<uint8_t> v(p_, p_ + len);
    skip(len);
    return v;
  }
  bool ok() const { return ok_; }
  // True when every byte was consumed and nothing went wrong.
  bool atEnd() const { return ok_ && n_ == 0; }

 private:
  bool need(size_t k) {
    if (!ok_ || n_ < k) {
      ok_ = false;
      return false;
    }
    return true;
  }
  void skip(size_t k) {
    p_ += k;
    n_ -= k;
  }
  const uint8_t* p_;
  size_t n_;
  bool ok_ = true;
};

// The frames of a successful listing of `names` (each kMaxStringBytes at
// most), appended to `out` with their length prefixes.
template <typename Names, typename NameOf>
void appendListingFrames(const Names& names, NameOf nameOf, std::vector<uint8_t>& out) {
  const auto total = static_cast<uint32_t>(names.size());
  auto it = names.begin();
  do {
    Writer w;
    w.u32(0).u32(total).u32(0);  // n is filled in below
    size_t bytes = 0;
    uint32_t n = 0;
    for (; it != names.end(); ++it) {
      const std::string_view name = nameOf(*it);
      if (n != 0 && bytes + 2 + name.size() > kListChunkBytes) break;
      w.str(name);
      bytes += 2 + name.size();
      ++n;
    }
    std::vector<uint8_t>& frame = w.frame();
    putU32(frame.data() + 12, n);
    out.insert(out.end(), frame.begin(), frame.end());
  } while (it != names.end());
}

// Takes the frames of a ListUsers answer one at a time and gathers the
// names, each followed by a NUL, in one buffer. Refuses (Step::Malformed) a
// frame that breaks any rule of the listing: a total above kMaxListedUsers
// or unlike the first frame's, an empty frame inside a listing, more names
// than the total, a name longer than maxName or holding a NUL, bytes left
// over, or a code other than 0 after the first frame.
class ListingReader {
 public:
  enum class Step { More, Done, Refused, Malformed };
  explicit ListingReader(size_t maxName) : maxName_(maxName) {}

  Step take(const uint8_t* body, size_t size) {
    if (failed_) return Step::Malformed;
    Reader in(body, size);
    const uint32_t code = in.u32();
    if (!in.ok()) return fail();
    if (code != 0) {
      if (frames_ != 0 || !in.atEnd()) return fail();
      code_ = code;
      failed_ = true;
      return Step::Refused;
    }
    const uint32_t total = in.u32();
    const uint32_t n = in.u32();
    if (!in.ok() || total > kMaxListedUsers || (frames_ != 0 && total != total_) ||
        n > total - received_ || (n == 0 && total != 0))
      return fail();
    total_ = total;
    ++frames_;
    for (uint32_t i = 0; i < n; ++i) {
      const std::string name = in.str(maxName_);
      if (!in.ok()) return fail();
      names_.append(name);
      names_.push_back('\0');
    }
    if (!in.atEnd()) return fail();
    received_ += n;
    return received_ == total_ ? Step::Done : Step::More;
  }
  // The HSM's code of a refused listing.
  uint32_t code() const { return code_; }
  uint32_t count() const { return received_; }
  // The names received, each followed by a NUL.
  const std::string& names() const { return names_; }

 private:
  Step fail() {
    failed_ = true;
    return Step::Malformed;
  }
  size_t maxName_;
  std::string names_;
  uint32_t total_ = 0;
  uint32_t received_ = 0;
  uint32_t frames_ = 0;
  uint32_t code_ = 0;
  bool failed_ = false;
};

}  // namespace kvwire
