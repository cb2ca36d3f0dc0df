// Escaping for the markup the tool writes. Names in a log come from the program's process
// (module paths, and function names from the binaries), so nothing in them is trusted.
#ifndef QUORKIT_MEMLOG_MARKUP_H
#define QUORKIT_MEMLOG_MARKUP_H

#include <string>

namespace memlog {

// Text for XML and HTML content and attribute values; control and non-ASCII bytes become '?'.
std::string xmlText(const std::string& s);

// A quoted JSON string that is also inert inside an HTML script element: '<', '>' and '&' are
// written as \u escapes, so no content can close the element or open a comment. Bytes outside
// ASCII are taken as Latin-1 (log names are in the writer's code page, not always UTF-8).
std::string jsonString(const std::string& s);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_MARKUP_H
