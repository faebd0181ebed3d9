// The installed tree: `cmake --install` into a fresh prefix, the example
// application built against it with nothing but the C compiler and
// pkg-config (and once more through find_package), then run with the
// installed dispatcher; and the Debian package built by CPack, examined
// without installing it.

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

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string BuildDir() { return std::filesystem::path(KIV_BIN_DIR).parent_path().string(); }

}  // namespace

TEST(InstallE2E, ExampleBuildsAgainstTheInstalledTreeWithPkgConfigAndTraces) {
  kivtest::Sandbox sandbox;
  const std::string prefix = sandbox.Dir() + "/prefix";
  const std::string buildDir = BuildDir();

  Shell install = RunShell("cmake --install " + Quoted(buildDir) + " --prefix " + Quoted(prefix));
  ASSERT_EQ(install.exitCode, 0) << install.output;
  for (const char* file :
       {"bin/kivserver", "bin/kivtool", "lib/libKivANSIAPI.so", "include/KivANSIAPI.h",
        "lib/pkgconfig/kivansiapi.pc", "etc/kiv/cfg/KivConfigLinux.xml", "share/kiv/examples/traced_app.c",
        "lib/systemd/system/kivserver.service", "lib/cmake/KivANSIAPI/KivANSIAPIConfig.cmake"}) {
    EXPECT_TRUE(kivtest::FileExists(prefix + "/" + file)) << file;
  }
  const std::string unit = kivtest::ReadFile(prefix + "/lib/systemd/system/kivserver.service");
  EXPECT_NE(unit.find("Type=forking"), std::string::npos);
  EXPECT_NE(unit.find("PIDFile=/run/KivServer.pid"), std::string::npos);
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
  // The same through the CMake package: the imported target carries the
  // include directory and the versioned library.
  const std::string project = sandbox.Dir() + "/cmake-app";
  std::filesystem::create_directories(project);
  kivtest::WriteFile(project + "/CMakeLists.txt",
                     "cmake_minimum_required(VERSION 3.25)\nproject(App C)\n"
                     "find_package(KivANSIAPI 1 REQUIRED)\n"
                     "add_executable(app " +
                         prefix +
                         "/share/kiv/examples/traced_app.c)\n"
                         "target_link_libraries(app PRIVATE KivANSIAPI::KivANSIAPI pthread)\n");
  Shell viaCMake = RunShell("cmake -S " + Quoted(project) + " -B " + Quoted(project + "/build") +
                            " -G Ninja -DCMAKE_PREFIX_PATH=" + Quoted(prefix) +
                            " >/dev/null && cmake --build " + Quoted(project + "/build"));
  ASSERT_EQ(viaCMake.exitCode, 0) << viaCMake.output;
  Shell needed = RunShell("objdump -p " + Quoted(project + "/build/app"));
  EXPECT_TRUE(Contains(needed.output, "NEEDED               libKivANSIAPI.so.1")) << needed.output;

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

TEST(InstallE2E, DebianPackageHoldsTheHardenedUnitTheGroupSetupAndTheLibraryPackages) {
  kivtest::Sandbox sandbox;
  const std::string out = sandbox.Dir() + "/package";
  Shell cpack =
      RunShell("cpack -G DEB -B " + Quoted(out) + " --config " + Quoted(BuildDir() + "/CPackConfig.cmake"));
  ASSERT_EQ(cpack.exitCode, 0) << cpack.output;
  Shell find = RunShell("ls " + Quoted(out) + "/*.deb");
  ASSERT_EQ(find.exitCode, 0) << find.output;
  const std::string deb = find.output.substr(0, find.output.find('\n'));

  // Unpacked beside the package, never installed.
  const std::string files = sandbox.Dir() + "/files", control = sandbox.Dir() + "/control";
  ASSERT_EQ(RunShell("dpkg-deb -x " + Quoted(deb) + " " + Quoted(files)).exitCode, 0);
  ASSERT_EQ(RunShell("dpkg-deb -e " + Quoted(deb) + " " + Quoted(control)).exitCode, 0);
  const std::string prefix = files + KIV_INSTALL_PREFIX;

  const std::string postinst = kivtest::ReadFile(control + "/postinst");
  for (const char* step : {"groupadd --system kiv", "chown root:kiv /var/lib/kiv", "chmod 2770 /var/lib/kiv",
                           "ldconfig", "enable kivserver.service"})
    EXPECT_TRUE(Contains(postinst, step)) << step << "\n" << postinst;
  EXPECT_TRUE(Contains(kivtest::ReadFile(control + "/conffiles"), "/etc/kiv/cfg/KivConfigLinux.xml"));
  EXPECT_TRUE(Contains(kivtest::ReadFile(control + "/control"), "libtinyxml2"));

  // The versioned library, its links and both ways of finding it.
  EXPECT_EQ(std::filesystem::read_symlink(prefix + "/lib/libKivANSIAPI.so.1").string(),
            "libKivANSIAPI.so.1.0.0");
  EXPECT_EQ(std::filesystem::read_symlink(prefix + "/lib/libKivANSIAPI.so").string(), "libKivANSIAPI.so.1");
  Shell dynamic = RunShell("objdump -p " + Quoted(prefix + "/lib/libKivANSIAPI.so.1.0.0"));
  EXPECT_TRUE(Contains(dynamic.output, "SONAME               libKivANSIAPI.so.1")) << dynamic.output;
  for (const char* file : {"/lib/pkgconfig/kivansiapi.pc", "/lib/cmake/KivANSIAPI/KivANSIAPIConfig.cmake",
                           "/lib/cmake/KivANSIAPI/KivANSIAPIConfigVersion.cmake",
                           "/lib/cmake/KivANSIAPI/KivANSIAPITargets.cmake"})
    EXPECT_TRUE(kivtest::FileExists(prefix + file)) << file;

  // The unit names the packaged programs and runs hardened in group kiv.
  const std::string unitPath = prefix + "/lib/systemd/system/kivserver.service";
  const std::string unit = kivtest::ReadFile(unitPath);
  EXPECT_TRUE(Contains(unit, std::string("ExecStart=") + KIV_INSTALL_PREFIX + "/bin/kivserver start"))
      << unit;
  for (const char* line :
       {"Group=kiv", "StateDirectory=kiv", "StateDirectoryMode=2770", "ProtectSystem=strict",
        "CapabilityBoundingSet=\n", "NoNewPrivileges=yes", "SystemCallFilter=@system-service"})
    EXPECT_TRUE(Contains(unit, line)) << line;

  // Measured, not assumed: the exposure systemd itself computes.
  if (RunShell("command -v systemd-analyze").exitCode != 0)
    GTEST_SKIP() << "systemd-analyze is not installed (scripts/common.sh installs package systemd)";
  Shell security = RunShell("cd " + Quoted(std::filesystem::path(unitPath).parent_path().string()) +
                            " && systemd-analyze security --offline=yes kivserver.service");
  const std::string marker = "Overall exposure level for kivserver.service: ";
  const size_t at = security.output.find(marker);
  ASSERT_NE(at, std::string::npos) << security.output;
  const double exposure = std::stod(security.output.substr(at + marker.size()));
  EXPECT_LE(exposure, 4.0) << security.output;
}
