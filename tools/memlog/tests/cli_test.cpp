// Exit codes and output routing of the command line, run in-process.
#include <gtest/gtest.h>

#include "log_writer.h"
#include "test_util.h"

using memlog_test::LogWriter;
using memlog_test::run;

TEST(Cli, ExitCodesFollowTheOutcome) {
  memlog_test::ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  LogWriter leaky, clean;
  leaky.event(2, 1, 0x1000, 16, 0, {0x401000});
  clean.event(2, 1, 0x1000, 16, 0, {0x401000}).event(5, 2, 0x1000, 0, 0, {});
  ASSERT_TRUE(leaky.save(dir.file("leaky.bin")));
  ASSERT_TRUE(clean.save(dir.file("clean.bin")));
  std::string cut = leaky.bytes();
  cut += clean.bytes().substr(0, 40);
  FILE* f = fopen(dir.file("cut.bin").c_str(), "wb");
  ASSERT_TRUE(f);
  fwrite(cut.data(), 1, cut.size(), f);
  fclose(f);

  EXPECT_EQ(run({"leaks", dir.file("leaky.bin")}).code, 0);
  EXPECT_EQ(run({"leaks", "--fail-on-leaks", dir.file("leaky.bin")}).code, 1);
  EXPECT_EQ(run({"summary", "--fail-on-leaks", dir.file("leaky.bin")}).code, 1);
  EXPECT_EQ(run({"leaks", "--fail-on-leaks", dir.file("clean.bin")}).code, 0);
  // diff judges the second log
  EXPECT_EQ(run({"diff", "--fail-on-leaks", dir.file("leaky.bin"), dir.file("clean.bin")}).code, 0);
  EXPECT_EQ(run({"diff", "--fail-on-leaks", dir.file("clean.bin"), dir.file("leaky.bin")}).code, 1);

  const auto truncated = run({"leaks", "--fail-on-leaks", dir.file("cut.bin")});
  EXPECT_EQ(truncated.code, 1);
  EXPECT_NE(truncated.err.find("truncated at offset 48"), std::string::npos) << truncated.err;
  EXPECT_NE(truncated.err.find("stopped after 1 event"), std::string::npos) << truncated.err;
  EXPECT_EQ(run({"leaks", "--strict", "--fail-on-leaks", dir.file("cut.bin")}).code, 3);

  EXPECT_EQ(run({"summary", dir.file("missing.bin")}).code, 3);
  EXPECT_EQ(run({"diff", "-", "-"}).code, 2);
  EXPECT_EQ(run({"diff", dir.file("clean.bin")}).code, 2);
  EXPECT_EQ(run({"top", "-n", "x", dir.file("clean.bin")}).code, 2);
  EXPECT_EQ(run({"top", "--by=size", dir.file("clean.bin")}).code, 2);
  EXPECT_EQ(run({"flame", "--at=middle", dir.file("clean.bin")}).code, 2);
  EXPECT_EQ(run({"find", "0x123456789", dir.file("clean.bin")}).code, 2);
  EXPECT_EQ(run({"--strict=yes", dir.file("clean.bin")}).code, 2);
  const auto help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: quorkit-memlog"), std::string::npos);
}

TEST(Cli, OutputGoesWhereDashOSays) {
  memlog_test::ScratchDir dir;
  LogWriter w;
  w.event(2, 1, 0x1000, 16, 0, {0x401000});
  ASSERT_TRUE(w.save(dir.file("log.bin")));

  const auto toFile =
      run({"folded", "--weight=live", "-o", dir.file("out.folded"), dir.file("log.bin")});
  EXPECT_EQ(toFile.code, 0);
  EXPECT_EQ(toFile.out, "");
  EXPECT_EQ(memlog_test::readFile(dir.file("out.folded")), "0x00401000 16\n");

  const auto toStdout = run({"folded", "--weight=live", "-o", "-", dir.file("log.bin")});
  EXPECT_EQ(toStdout.out, "0x00401000 16\n");

  const auto svg = run({"flame", "-o", dir.file("g.svg"), dir.file("log.bin")});
  EXPECT_EQ(svg.code, 0);
  const std::string text = memlog_test::readFile(dir.file("g.svg"));
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("</svg>"), std::string::npos);

  EXPECT_EQ(run({"summary", "-o", dir.file("no/such/dir/x"), dir.file("log.bin")}).code, 4);
}
