// Writes the small logs that the golden-output tests read: a run of a made-up program
// with a few modules, every operation code, regions, leaks, a double allocation and a
// stray release; a second run of it for diff; and damaged variants.
#include <cstdio>
#include <string>

#include "log_writer.h"

using memlog_test::LogWriter;

namespace {

struct Bases {
  uint32_t app, quorkit, ntdll;
};

LogWriter program(const Bases& b, bool secondRun) {
  const uint32_t q1 = b.quorkit + 0x1234, q2 = b.quorkit + 0x1890, q3 = b.quorkit + 0x2000;
  const uint32_t main_ = b.app + 0x1500, load = b.app + 0x2040, parse = b.app + 0x2300,
                 cache = b.app + 0x3010;
  const uint32_t start = b.ntdll + 0x12345;
  const std::vector<uint32_t> sLoad{q1, q2, q3, load, main_, start};
  const std::vector<uint32_t> sParse{q1, q2, q3, parse, load, main_, start};
  const std::vector<uint32_t> sCache{q1, q2, q3, cache, main_, start};
  const std::vector<uint32_t> sShort{q1, q2};
  // Another way through the logger to the same call: shown, it is the same stack as sLoad.
  const std::vector<uint32_t> sLoadVia{q1, q3, load, main_, start};
  const std::vector<uint32_t> sLow{0x00001000, main_};

  LogWriter w;
  w.modules({{b.app, "C:\\work\\leaky\\app.exe"},
             {b.quorkit, "C:\\work\\leaky\\quorkit.dll"},
             {b.ntdll, "C:\\Windows\\SYSTEM32\\ntdll.dll"}});
  w.event(2, 1, 0x00501000, 64, 0, sLoad)
      .event(2, 2, 0x00501100, 100, 1, sParse)
      .event(4, 3, 0x00501200, 300, 1, sParse)
      .event(5, 4, 0x00501100, 0, 1, sShort)
      .event(2, 5, 0x00502000, 1000, 2, sCache)
      .event(3, 6, 0x00503000, 16, 2, sCache)
      .event(5, 7, 0x00502000, 0, 2, sShort)
      .event(5, 8, 0x00509990, 0, 0, sShort)
      .event(2, 9, 0x00501000, 32, 0, sLoad)
      .event(0, 10, 0, 0, 0, {})
      .event(6, 11, 0x00504000, 0, 3, sLow)
      .event(8, 12, 0x00505000, 2048, 0x103, sParse)
      .event(9, 13, 0x00505000, 0, 3, sShort)
      .event(8, 21, 0x00505000, 2048, 3, sParse)  // back at the peak, which stays at event 12
      .event(9, 22, 0x00505000, 0, 3, sShort)
      .event(7, 14, 0x00501200, 0, 1, sShort)
      .event(2, 15, 0x00506000, 24, 0, sLoadVia)
      // A block that a reallocation moves, then released: find's history follows the move.
      .event(2, 16, 0x00508000, 40, 1, sParse)
      .event(5, 16, 0x00508000, 40, 1, sShort)
      .event(4, 17, 0x00508800, 80, 1, sParse)
      .event(5, 17, 0x00508800, 80, 1, sShort);
  if (secondRun) {
    w.event(5, 18, 0x00503000, 0, 2, sShort)       // the cache entry is released now
        .event(2, 19, 0x00507000, 512, 1, sParse)  // and parsing leaks more
        .event(2, 20, 0x00507400, 512, 1, sParse);
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;  // usage: make_logs DIR
  const std::string dir = argv[1];
  auto save = [&](const char* name, const std::string& bytes) {
    return LogWriter::saveFile(dir + "/" + name, bytes);
  };
  const std::string small = program({0x00400000, 0x10000000, 0x77000000}, false).bytes();
  const std::string second = program({0x00400000, 0x10100000, 0x77100000}, true).bytes();

  LogWriter bare;
  bare.event(2, 1, 0x00601000, 40, 0, {0x00401010, 0x00401500})
      .event(2, 2, 0x00601100, 8, 0, {0x00401020, 0x00401500})
      .event(5, 3, 0x00601100, 0, 0, {0x00401030});

  LogWriter frames;
  frames.modules({{0x00400000, "app.exe"}})
      .event(2, 1, 0x1000, 8, 0, {0x00401000})
      .rawEvent(2, 40000);
  frames.mutableBytes().append(64, '\0');

  LogWriter modules;
  modules.modules({});
  modules.mutableBytes().replace(32, 3, "\x40\x42\x0f");  // module count 1,000,000
  modules.mutableBytes().append(96, '\0');

  LogWriter code;
  code.event(2, 1, 0x1000, 8, 0, {0x00401000}).event(10, 2, 0x2000, 8, 0, {0x00401000});

  LogWriter misaligned;
  misaligned.event(2, 1, 0x1000, 8, 0, {0x00401000}).event(2, 2, 0x2000, 8, 0, {0x00401000});
  misaligned.mutableBytes()[48 + 20] = char(0x5a);

  const bool ok =
      save("small.bin", small) && save("small_b.bin", second) && save("bare.bin", bare.bytes()) &&
      save("truncated.bin", small.substr(0, small.size() - 20)) &&
      save("corrupt_frames.bin", frames.bytes()) && save("corrupt_modules.bin", modules.bytes()) &&
      save("corrupt_code.bin", code.bytes()) &&
      save("corrupt_misaligned.bin", misaligned.bytes()) && save("empty.bin", "") &&
      save("modules_only.bin", LogWriter().modules({{1, "a.exe"}}).bytes()) &&
      save("text.bin", std::string(40, 'x') + "\n");
  if (!ok) {
    fprintf(stderr, "make_logs: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
