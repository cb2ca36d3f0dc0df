// Table-driven parsing of the command line.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "commands.h"
#include "host.h"

namespace memlog {

namespace {

template <typename E>
struct Choice {
  const char* name;
  E value;
};

template <typename E, size_t N>
bool pick(const Choice<E> (&choices)[N], const std::string& text, E& value) {
  for (const Choice<E>& c : choices) {
    if (text == c.name) {
      value = c.value;
      return true;
    }
  }
  return false;
}

const Choice<LeakFormat> kFormats[] = {{"text", LeakFormat::Text}, {"lsan", LeakFormat::Lsan}};
const Choice<TopBy> kTopBy[] = {
    {"calls", TopBy::Calls}, {"bytes", TopBy::Bytes}, {"peak", TopBy::Peak}};
const Choice<FoldedWeight> kWeights[] = {
    {"bytes", FoldedWeight::Bytes}, {"count", FoldedWeight::Count}, {"live", FoldedWeight::Live}};
const Choice<bool> kAt[] = {{"end", false}, {"peak", true}};

bool parseCount(const std::string& s, uint64_t& v) {
  if (s.empty() || !isdigit(static_cast<unsigned char>(s[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long x = strtoull(s.c_str(), &end, 10);
  if (errno || *end) return false;
  v = x;
  return true;
}

bool parseAddress(const std::string& s, uint32_t& v) {
  const char* p = s.c_str();
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  if (!*p) return false;
  for (const char* q = p; *q; ++q)
    if (!isxdigit(static_cast<unsigned char>(*q))) return false;
  errno = 0;
  const unsigned long long x = strtoull(p, nullptr, 16);
  if (errno || x > UINT32_MAX) return false;
  v = uint32_t(x);
  return true;
}

struct OptionRow {
  const char* name;
  const char* alias;  // a short form, or ""
  const char* value;  // what follows it, for the usage and complaints; "" for a flag
  const char* help;
  bool (*apply)(Options& o, const std::string& value);  // false: the value is unusable
};

const OptionRow kOptions[] = {
    {"--top", "", "N", "show the N largest leaking stacks",
     [](Options& o, const std::string& v) { return parseCount(v, o.top); }},
    {"--format", "", "text|lsan", "text, or LeakSanitizer's layout",
     [](Options& o, const std::string& v) { return pick(kFormats, v, o.format); }},
    {"--by", "", "calls|bytes|peak", "order of the sites (default bytes)",
     [](Options& o, const std::string& v) { return pick(kTopBy, v, o.by); }},
    {"-n", "", "N", "show N sites (default 10)",
     [](Options& o, const std::string& v) { return parseCount(v, o.n); }},
    {"--weight", "", "bytes|count|live", "what a stack's weight counts (default bytes)",
     [](Options& o, const std::string& v) { return pick(kWeights, v, o.weight); }},
    {"--at", "", "end|peak", "live memory at the end (default) or at the peak",
     [](Options& o, const std::string& v) { return pick(kAt, v, o.atPeak); }},
    {"--title", "", "TEXT", "the graph's title",
     [](Options& o, const std::string& v) {
       o.title = v;
       return true;
     }},
    {"-o", "", "FILE", "write the report to FILE ('-': standard output)",
     [](Options& o, const std::string& v) {
       o.output = v;
       o.outputGiven = true;
       return !v.empty();
     }},
    {"--symbolize", "", "", "functions and lines through addr2line; stacks grouped by function",
     [](Options& o, const std::string&) { return o.symbolize = true; }},
    {"--search-dir", "", "DIR", "look for module files in DIR first (repeatable)",
     [](Options& o, const std::string& v) {
       o.searchDirs.push_back(v);
       return !v.empty();
     }},
    {"--keep-logger-frames", "", "", "show the logger's own frames at the top of every stack",
     [](Options& o, const std::string&) { return o.keepLoggerFrames = true; }},
    {"--strict", "", "", "a truncated log is an error (exit 3)",
     [](Options& o, const std::string&) { return o.strict = true; }},
    {"--fail-on-leaks", "", "", "exit 1 when blocks are live at the end",
     [](Options& o, const std::string&) { return o.failOnLeaks = true; }},
    {"--version", "", "", "the tool's version",
     [](Options& o, const std::string&) { return o.version = true; }},
    {"--help", "-h", "", "this text, or a command's with COMMAND --help",
     [](Options& o, const std::string&) { return o.help = true; }},
};

const OptionRow* findOption(const std::string& name) {
  for (const OptionRow& row : kOptions)
    if (name == row.name || name == row.alias) return &row;
  return nullptr;
}

bool ownedByACommand(const OptionRow& row) {
  for (const Command& c : commands())
    if (commandTakes(c, row.name)) return true;
  return false;
}

// Splits "--name=value"; a value glued on with '=' is only for long options.
void splitInline(std::string& arg, std::string& value, bool& hasValue) {
  hasValue = false;
  if (arg.size() <= 2 || arg.compare(0, 2, "--") != 0) return;
  const size_t eq = arg.find('=');
  if (eq == std::string::npos) return;
  value = arg.substr(eq + 1);
  arg.erase(eq);
  hasValue = true;
}

// Applies one option at args[i], advancing i past a separate value.
std::string applyOption(const std::vector<std::string>& args, size_t& i, Options& o,
                        std::vector<const OptionRow*>& used) {
  std::string name = args[i];
  std::string value;
  bool hasValue;
  splitInline(name, value, hasValue);
  const OptionRow* row = findOption(name);
  if (!row) return "unknown option " + args[i];
  const bool flag = !*row->value;
  if (flag && hasValue) return std::string(row->name) + " takes no value";
  if (!flag && !hasValue) {
    if (i + 1 >= args.size()) return std::string(row->name) + " needs " + row->value;
    value = args[++i];
  }
  if (!row->apply(o, value)) return std::string(row->name) + " needs " + row->value;
  used.push_back(row);
  return std::string();
}

bool looksLikeAPath(const std::string& s) {
  return s == "-" || s.find_first_of("./\\") != std::string::npos || host::isReadableFile(s);
}

// Takes the command (and for help, the command asked about) off the front of the operands.
std::string takeCommand(std::vector<std::string>& operands, Options& o) {
  if (!operands.empty() && operands[0] == "help") {
    o.help = true;
    operands.erase(operands.begin());
  }
  if (operands.empty()) return std::string();
  if (const Command* c = findCommand(operands[0])) {
    o.command = c;
    operands.erase(operands.begin());
  } else if (o.help || operands.size() > 1 || !looksLikeAPath(operands[0])) {
    return "unknown command " + operands[0];
  }
  return std::string();
}

std::string takeOperands(std::vector<std::string>& operands, bool stdinIsTerminal, Options& o) {
  const Command& c = *o.command;
  if (c.takesAddress) {
    if (operands.empty() || !parseAddress(operands[0], o.address))
      return std::string(c.name) + " needs a hexadecimal address";
    operands.erase(operands.begin());
  }
  if (operands.empty() && c.logs == 1 && !stdinIsTerminal) operands.push_back("-");
  if (operands.size() != size_t(c.logs))
    return c.logs == 1 ? "expected one log file" : std::string(c.name) + " needs two log files";
  if (c.logs == 2 && operands[0] == "-" && operands[1] == "-")
    return "only one input can be standard input";
  o.inputs = operands;
  return std::string();
}

std::string optionLine(const OptionRow& row) {
  std::string head = std::string("  ") + (*row.alias ? row.alias + std::string(", ") : "") +
                     row.name + (*row.value ? std::string(" ") + row.value : "");
  if (head.size() < 26) return head + std::string(26 - head.size(), ' ') + row.help + "\n";
  return head + "\n" + std::string(26, ' ') + row.help + "\n";
}

std::string commandLine(const Command& c) {
  std::string head = std::string("  ") + c.name;
  for (const OptionRow& row : kOptions)
    if (commandTakes(c, row.name)) head += std::string(" [") + row.name + " " + row.value + "]";
  head += std::string(" ") + c.operands;
  return head + "\n" + std::string(26, ' ') + c.summary + "\n";
}

}  // namespace

std::string parseOptions(const std::vector<std::string>& args, bool stdinIsTerminal, Options& o) {
  std::vector<std::string> operands;
  std::vector<const OptionRow*> used;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 1 && a[0] == '-') {
      std::string complaint = applyOption(args, i, o, used);
      if (!complaint.empty()) return complaint;
    } else {
      operands.push_back(a);
    }
  }
  std::string complaint = takeCommand(operands, o);
  if (!complaint.empty() || o.help || o.version) return complaint;
  if (!o.command) o.command = &defaultCommand();
  for (const OptionRow* row : used)
    if (ownedByACommand(*row) && !commandTakes(*o.command, row->name))
      return std::string(row->name) + " does not apply to " + o.command->name;
  return takeOperands(operands, stdinIsTerminal, o);
}

std::string usageText(const Command* command) {
  std::string text =
      "usage: quorkit-memlog [COMMAND] [OPTIONS] FILE\n"
      "       quorkit-memlog help [COMMAND]\n"
      "Reads an allocation log (MEM_LOG.bin). FILE '-', or no FILE when standard input is not\n"
      "a terminal, reads standard input.\n\n";
  text += command ? "command:\n" : "commands:\n";
  for (const Command& c : commands())
    if (!command || command == &c) text += commandLine(c);
  if (command && *command->options) {
    text += "\noptions of " + std::string(command->name) + ":\n";
    for (const OptionRow& row : kOptions)
      if (commandTakes(*command, row.name)) text += optionLine(row);
  }
  text += "\noptions:\n";
  for (const OptionRow& row : kOptions)
    if (!ownedByACommand(row)) text += optionLine(row);
  text +=
      "\nexit codes: 0 ok, 1 leaks found (--fail-on-leaks), 2 usage, 3 unreadable or corrupt "
      "input,\n4 output error\n";
  return text;
}

}  // namespace memlog
