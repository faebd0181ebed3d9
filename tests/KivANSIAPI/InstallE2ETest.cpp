// The installed tree: `cmake --install` into a fresh prefix, the example
// application built against it with nothing but the C compiler and
// pkg-config, then run with the installed dispatcher.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TestSupport/Sandbox.h"

namespace {

struct Shell {
  int exitCode = -1;
  std::string output;  // standard output and standard error
};

Shell RunShell(const std::string& command) {
  Shell result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

TEST(InstallE2E, ExampleBuildsAgainstTheInstalledTreeWithPkgConfigAndTraces) {
  kivtest::Sandbox sandbox;
  const std::string prefix = sandbox.Dir() + "/prefix";
  const std::string buildDir = std::filesystem::path(KIV_BIN_DIR).parent_path().string();

  Shell install = RunShell("cmake --install " + Quoted(buildDir) + " --prefix " + Quoted(prefix));
  ASSERT_EQ(install.exitCode, 0) << install.output;
  for (const char* file : {"bin/kivserver", "bin/kivtool", "lib/libKivANSIAPI.so", "include/KivANSIAPI.h",
                           "lib/pkgconfig/kivansiapi.pc", "etc/kiv/cfg/KivConfigLinux.xml",
                           "share/kiv/examples/traced_app.c", "lib/systemd/system/kivserver.service"}) {
    EXPECT_TRUE(kivtest::FileExists(prefix + "/" + file)) << file;
  }
  const std::string unit = kivtest::ReadFile(prefix + "/lib/systemd/system/kivserver.service");
  EXPECT_NE(unit.find("Type=forking"), std::string::npos);
  EXPECT_NE(unit.find("PIDFile=/var/run/KivServer.pid"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=" + prefix + "/bin/kivserver start"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStop=" + prefix + "/bin/kivserver stop"), std::string::npos);
  EXPECT_NE(unit.find("Environment=OLVAN_VORNEL_CFG=" + prefix + "/etc/kiv/cfg"), std::string::npos);

  // Only the installed header and library: the source tree is not on any
  // include path.
  const std::string app = sandbox.Dir() + "/traced_app";
  const std::string env = "PKG_CONFIG_PATH=" + Quoted(prefix + "/lib/pkgconfig") + " ";
  Shell build =
      RunShell(env + "cc -Wall -Wextra " + Quoted(prefix + "/share/kiv/examples/traced_app.c") + " -o " +
               Quoted(app) + " $(" + env + "pkg-config --cflags --libs kivansiapi) -lpthread");
  ASSERT_EQ(build.exitCode, 0) << build.output;
  EXPECT_EQ(build.output, "") << "warnings";

  // The installed dispatcher with the installed default configuration.
  const std::string run = "LD_LIBRARY_PATH=" + Quoted(prefix + "/lib") +
                          " OLVAN_VORNEL_DIR=" + Quoted(sandbox.Dir()) +
                          " OLVAN_VORNEL_CFG=" + Quoted(prefix + "/etc/kiv/cfg") + " ";
  Shell start = RunShell(run + Quoted(prefix + "/bin/kivserver") + " start");
  ASSERT_EQ(start.exitCode, 0) << start.output;
  ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(sandbox.TempDir() + "KivService.pid"); }));
  Shell traced = RunShell(run + Quoted(app) + " 200 2 10");
  Shell stop = RunShell(run + Quoted(prefix + "/bin/kivserver") + " stop");
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  ASSERT_EQ(traced.exitCode, 0) << traced.output;
  EXPECT_NE(traced.output.find("dispatcher connected"), std::string::npos) << traced.output;
  // 2 threads x 200 records; under the default rules 95 of every 200 are
  // enabled (see the example's round-robin), and none is lost.
  EXPECT_NE(traced.output.find("190 enabled and written; library counts 190 written, 0 not written"),
            std::string::npos)
      << traced.output;
}
