// The value of one hexadecimal digit of either case, or -1: the codec's
// escapes (\xHH, \uXXXX) read their digits with it.
#ifndef KELTO_LIVE_HEX_DIGIT_H_
#define KELTO_LIVE_HEX_DIGIT_H_

namespace kelto::live {

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace kelto::live

#endif  // KELTO_LIVE_HEX_DIGIT_H_
