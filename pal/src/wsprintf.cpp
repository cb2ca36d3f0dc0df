// wsprintfA and wvsprintfA: user32's formatter, written out here rather than mapped onto
// vsnprintf because it differs from printf where the modules' texts depend on it: %p is eight
// upper-case digits without "0x", a null %s prints "(null)", "%#x" always gets its prefix, and
// output stops at 1,023 characters instead of reporting the length it would have needed.
#include "pal_internal.h"

#include <string.h>

namespace {

constexpr int kOutputLimit = 1024;  // bytes of output including the NUL

struct Output {
  char* out;
  int length;
  bool full() const { return length >= kOutputLimit - 1; }
  void put(char c) {
    if (!full()) out[length++] = c;
  }
  void repeat(char c, int count) {
    for (int i = 0; i < count; ++i) put(c);
  }
};

struct Conversion {
  bool left = false;
  bool prefix = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  bool wide = false;    // 'l' (or 'w') before c/s: 16-bit characters
  bool narrow = false;  // 'h' before c/s: 8-bit characters
  bool int64 = false;   // "I64"
};

// Digits of value in base 10 or 16, most significant first; returns their count.
int toDigits(unsigned long long value, int base, bool upper, char* digits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[24];
  int count = 0;
  do {
    reversed[count++] = set[value % static_cast<unsigned>(base)];
    value /= static_cast<unsigned>(base);
  } while (value != 0);
  for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  return count;
}

void putNumber(Output& o, const Conversion& conv, unsigned long long magnitude, bool negative,
               int base, bool upper) {
  char digits[24];
  int count = toDigits(magnitude, base, upper, digits);
  if (conv.precision == 0 && magnitude == 0) count = 0;  // "%.0d" of 0 prints no digit
  const char* lead = "";
  if (negative) {
    lead = "-";
  } else if (conv.prefix && base == 16) {
    lead = upper ? "0X" : "0x";
  }
  int leadLength = static_cast<int>(strlen(lead));
  int zeros = conv.precision > count ? conv.precision - count : 0;
  int body = leadLength + zeros + count;
  int pad = conv.width > body ? conv.width - body : 0;
  if (conv.zero && !conv.left && conv.precision < 0) {
    zeros += pad;  // zero padding goes between the sign (or prefix) and the digits
    pad = 0;
  }
  if (!conv.left) o.repeat(' ', pad);
  for (int i = 0; i < leadLength; ++i) o.put(lead[i]);
  o.repeat('0', zeros);
  for (int i = 0; i < count; ++i) o.put(digits[i]);
  if (conv.left) o.repeat(' ', pad);
}

void putText(Output& o, const Conversion& conv, const char* narrow, const uint16_t* wide) {
  int length = 0;
  if (wide != nullptr) {
    while (wide[length] != 0 && (conv.precision < 0 || length < conv.precision)) ++length;
  } else {
    while (narrow[length] != '\0' && (conv.precision < 0 || length < conv.precision)) ++length;
  }
  int pad = conv.width > length ? conv.width - length : 0;
  if (!conv.left) o.repeat(conv.zero ? '0' : ' ', pad);
  for (int i = 0; i < length; ++i) {
    // Wide characters outside Latin-1 have no single byte; Windows prints '?' for them.
    o.put(wide != nullptr ? (wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?') : narrow[i]);
  }
  if (conv.left) o.repeat(' ', pad);
}

// A NUL character is stored (and counted) like any other.
void putCharacter(Output& o, const Conversion& conv, int value) {
  if (value != 0) {
    const char text[2] = {static_cast<char>(value), '\0'};
    putText(o, conv, text, nullptr);
    return;
  }
  int pad = conv.width > 1 ? conv.width - 1 : 0;
  if (!conv.left) o.repeat(' ', pad);
  o.put('\0');
  if (conv.left) o.repeat(' ', pad);
}

// %s is narrow and %S wide in the A flavour; 'l'/'w' make either wide, 'h' narrow.
void putString(Output& o, const Conversion& conv, char type, const void* value) {
  bool wideText = conv.narrow ? false : (conv.wide || type == 'S');
  if (value == nullptr) {
    putText(o, conv, "(null)", nullptr);
  } else if (wideText) {
    putText(o, conv, nullptr, static_cast<const uint16_t*>(value));
  } else {
    putText(o, conv, static_cast<const char*>(value), nullptr);
  }
}

// Windows prints a pointer as exactly eight upper-case digits, without "0x".
void putPointer(Output& o, const void* value) {
  Conversion pointer;
  pointer.zero = true;
  pointer.width = 2 * static_cast<int>(sizeof(void*));
  putNumber(o, pointer, reinterpret_cast<uintptr_t>(value), false, 16, true);
}

int readNumber(const char** f) {
  int value = 0;
  while (**f >= '0' && **f <= '9') value = value * 10 + (*(*f)++ - '0');
  return value;
}

// Flags, width, precision and size of a conversion; returns where its type character stands.
const char* parseConversion(const char* f, Conversion* conv) {
  for (;; ++f) {
    if (*f == '-') {
      conv->left = true;
    } else if (*f == '#') {
      conv->prefix = true;
    } else if (*f == '0') {
      conv->zero = true;
    } else {
      break;
    }
  }
  conv->width = readNumber(&f);
  if (*f == '.') {
    ++f;
    conv->precision = readNumber(&f);
  }
  if (*f == 'l' || *f == 'w') {
    conv->wide = true;
    ++f;
  } else if (*f == 'h') {
    conv->narrow = true;
    ++f;
  } else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
    conv->int64 = true;
    f += 3;
  }
  return f;
}

// One conversion, its argument taken from args.
void putConversion(Output& o, const Conversion& conv, char type, va_list* args) {
  switch (type) {
    case 'c':
    case 'C':  // %C / %lc: a 16-bit character, printed by its low byte
      putCharacter(o, conv, va_arg(*args, int));
      break;
    case 'd':
    case 'i': {
      long long value = conv.int64 ? va_arg(*args, long long) : va_arg(*args, int);
      unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                               : static_cast<unsigned long long>(value);
      putNumber(o, conv, magnitude, value < 0, 10, false);
      break;
    }
    case 'u':
    case 'x':
    case 'X': {
      unsigned long long value =
          conv.int64 ? va_arg(*args, unsigned long long) : va_arg(*args, unsigned int);
      putNumber(o, conv, value, false, type == 'u' ? 10 : 16, type == 'X');
      break;
    }
    case 'p': putPointer(o, va_arg(*args, void*)); break;
    case 's':
    case 'S': putString(o, conv, type, va_arg(*args, const void*)); break;
    default:
      o.put(type);  // not a conversion Windows knows: the character itself, no argument taken
      break;
  }
}

}  // namespace

extern "C" int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  Output o{lpOut, 0};
  va_list args;
  va_copy(args, arglist);
  const char* f = lpFmt;
  while (*f != '\0' && !o.full()) {
    if (*f != '%' || f[1] == '%') {
      if (*f == '%') ++f;  // "%%": one '%'
      o.put(*f++);
      continue;
    }
    Conversion conv;
    f = parseConversion(f + 1, &conv);
    const char type = *f;
    if (type == '\0') break;
    ++f;
    putConversion(o, conv, type, &args);
  }
  va_end(args);
  o.out[o.length] = '\0';
  return o.length;
}

extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list args;
  va_start(args, lpFmt);
  int length = wvsprintfA(lpOut, lpFmt, args);
  va_end(args);
  return length;
}
