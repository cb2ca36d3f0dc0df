#include "markup.h"

#include <cstdio>

namespace memlog {

std::string xmlText(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (unsigned char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&apos;"; break;
      default: o += (c < 0x20 || c >= 0x7f) ? '?' : char(c);
    }
  }
  return o;
}

std::string jsonString(const std::string& s) {
  std::string o = "\"";
  o.reserve(s.size() + 2);
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += char(c);
    } else if (c < 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '&') {
      char u[8];
      snprintf(u, sizeof u, "\\u%04x", c);
      o += u;
    } else {
      o += char(c);
    }
  }
  return o + "\"";
}

}  // namespace memlog
