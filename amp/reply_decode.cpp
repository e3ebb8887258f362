// The micro's replies read into a DecodedReply: fixed positions, hex and decimal fields checked.
#include "amp/reply_decode.h"

#include <cstring>

#include "amp/replies.h"

namespace {

// Reader of a reply's fixed positions; nothing past its length is ever touched.
struct Reply {
  const char* r;
  int len;

  char at(int pos) const { return pos >= 0 && pos < len ? r[pos] : '\0'; }
  int hex(int pos) const { return charToInt(at(pos)); }
  // Plain decimal conversion of up to `width` characters: leading digits count, the rest reads as 0.
  uint64_t dec(int pos, int width) const {
    uint64_t v = 0;
    for (int i = pos; i < pos + width && i < len; ++i) {
      char c = r[i];
      if (c < '0' || c > '9') break;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
  }
  // A byte from two hex digits; a non-hex digit (-1) sets every bit it is combined into.
  uint8_t hexByte(int pos) const { return static_cast<uint8_t>((hex(pos) * 16) | hex(pos + 1)); }
  bool digits(int pos, int width) const {
    for (int i = pos; i < pos + width; ++i)
      if (at(i) < '0' || at(i) > '9') return false;
    return true;
  }
  bool hexDigits(int pos, int width) const {
    for (int i = pos; i < pos + width; ++i)
      if (hex(i) < 0) return false;
    return true;
  }
  bool printable(int pos, int width) const {
    for (int i = pos; i < pos + width; ++i) {
      unsigned char c = static_cast<unsigned char>(at(i));
      if (c < 0x20 || c > 0x7E || c == ';') return false;
    }
    return true;
  }
};

DecodedReply bad(const char* why) {
  DecodedReply d;
  d.kind = ReplyKind::Bad;
  d.why = why;
  return d;
}

DecodedReply of(ReplyKind k, uint64_t number = 0) {
  DecodedReply d;
  d.kind = k;
  d.number = number;
  return d;
}

DecodedReply config(const Reply& rp) {
  DecodedReply d = of(ReplyKind::Config);
  const char block = rp.at(5);
  if (block == '0' || block == '1') {
    if (rp.len < 6 + 64) return bad("configuration block too short");
    for (int i = 0; i < 32; ++i) d.bytes[i] = rp.hexByte(6 + 2 * i);
  } else if (block == '2') {
    if (rp.len < 10) return bad("configuration block too short");
    d.bytes[0] = rp.hexByte(6);
    d.bytes[1] = rp.hexByte(8);
  } else {
    return bad("unknown configuration block");
  }
  d.block = block - '0';
  return d;
}

DecodedReply status(const Reply& rp, bool withInput) {
  if (rp.len < 30) return bad("status reply too short");
  // A garbled reply can still end in ';': fields that do not read as their kind leave every
  // value on its last good state, or a stray byte becomes a frequency, a fan step or an alarm.
  if (!rp.hexDigits(2, 2) || !rp.digits(4, 24) || !rp.hexDigits(28, 2)) return bad("status fields garbled");
  const bool hasInput = withInput && rp.len >= 36;
  if (hasInput && !rp.digits(32, 4)) return bad("status fields garbled");
  DecodedReply d = of(ReplyKind::Status);
  StatusFields& s = d.status;
  s.status0 = rp.hex(2);
  s.status1 = rp.hex(3);
  // Position 28 is the low nibble and 29 the high one.
  s.faults = (rp.hex(29) * 16) | rp.hex(28);
  s.pw = static_cast<int>(rp.dec(4, 4));
  s.fwd = static_cast<int>(rp.dec(8, 4));
  s.refl = static_cast<int>(rp.dec(12, 4));
  s.current = static_cast<int>(rp.dec(16, 4));
  s.temp1 = static_cast<int>(rp.dec(20, 4));
  s.temp2 = static_cast<int>(rp.dec(24, 4));
  s.hasInput = hasInput;
  if (hasInput) s.input = static_cast<int>(rp.dec(32, 4));
  return d;
}

}  // namespace

DecodedReply DecodeReply(const char* reply, int length, bool withInput) {
  if (length < 3 || !reply) return of(ReplyKind::TooShort);
  const Reply rp{reply, length};
  const char c2 = reply[2];
  if (c2 == '?' || c2 == '!' || c2 == '&') return of(ReplyKind::ErrorReply);
  const char a = reply[0], b = reply[1];
  auto is = [&](const char* t) { return a == t[0] && b == t[1]; };

  if (is("VS")) {
    DecodedReply d = of(ReplyKind::Version);
    const int n = length - 3 < 7 ? length - 3 : 7;
    for (int i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(reply[3 + i]);
      d.text[i] = c < 0x20 || c > 0x7E ? '.' : static_cast<char>(c);
    }
    return d;
  }
  if (is("SA"))
    return c2 >= '1' && c2 <= '3' ? of(ReplyKind::Antenna, static_cast<uint64_t>(c2 - '0'))
                                  : bad("antenna out of range");
  if (is("FM")) return rp.digits(3, 11) ? of(ReplyKind::Frequency, rp.dec(3, 11)) : bad("frequency not 11 digits");
  if (is("FA") || is("MT") || is("FS") || is("AT") || is("MP") || is("TS") || is("FN")) return of(ReplyKind::Ack);
  if (is("CP")) return of(ReplyKind::ClearedProtections);
  if (is("AB")) return of(ReplyKind::Bypass, c2 == '1' ? 1 : 0);
  if (is("AN")) return rp.digits(2, 1) ? of(ReplyKind::Network, rp.dec(2, 1)) : bad("network value not a digit");
  if (is("PS")) return of(ReplyKind::AutoProtections);
  if (is("SF")) return of(ReplyKind::Filter);
  if (is("MR")) return of(ReplyKind::MicroReset, c2 == '0' ? 0 : 1);
  if (is("GM")) return of(ReplyKind::GenericMode);
  if (is("GS")) {
    if (length < 12) return bad("settings text too short");
    if (!rp.printable(2, 10)) return bad("settings text not printable");
    DecodedReply d = of(ReplyKind::Settings);
    memcpy(d.text, reply + 2, 10);
    return d;
  }
  if (is("ER")) return config(rp);
  if (is("ST")) return status(rp, withInput);
  return bad("unknown reply");
}
