// The dashboard as a user meets it: the built executable as "--host <folder> --web" with two real agents on
// loopback, and Debian's chromium (headless, driven by puppeteer-core) on the dashboard's page. The browser script
// enters a wrong key and the right one, reads the machine list off the canvas, hovers and opens a machine, watches
// its chart, scrolls and filters its processes, opens its Overview and a stored hour from the host's history; its
// screenshots stay in the folder "web-dashboard" beside the test program.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>

#include "tests/host/net.h"

namespace {

std::string run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

TEST(WebBrowser, TheDashboardJoinsListsOpensAMachineAndItsChartMoves) {
  testutil::TempDir dir;
  const std::string home = dir.path + "/home", share = dir.path + "/share";
  net::make_home(home);
  std::filesystem::create_directories(share);
  const u16 port = net::port_pair();
  ASSERT_NE(port, 0);
  net::Process host;
  host.start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1", "--web"}, home);
  ASSERT_TRUE(host.wait_output("vimbrel host: web dashboard on port " + std::to_string(port + 2) + "\n", 60))
      << host.out();

  net::Agent agents[2];
  const std::vector<std::string> to_host = {"--agent", "--server", "127.0.0.1:" + std::to_string(port)};
  for (u32 i = 0; i < 2; ++i) agents[i].start(dir.path + "/agent" + std::to_string(i), to_host);
  for (net::Agent& a : agents)
    ASSERT_TRUE(a.process.wait_output("vimbrel agent: publishing to", 90)) << a.process.out();

  const std::string shots = std::filesystem::current_path().string() + "/web-dashboard";
  std::filesystem::remove_all(shots);
  std::filesystem::create_directories(shots);
  const std::string url = "http://127.0.0.1:" + std::to_string(port + 2) + "/";
  const std::string out = run(std::string(VIMBREL_SOURCE_DIR) + "/tests/web/run " + url + " " + home +
                              "/config/Vimbrel/cluster.key " + shots + " 2>&1");
  std::cout << "browser: " << out;
  EXPECT_NE(out.find("{\"ok\":true"), std::string::npos) << "screenshots in " << shots;
  EXPECT_NE(out.find("\"stored_key\":true"), std::string::npos);
  EXPECT_NE(out.find("\"kept_key_moved\":true"), std::string::npos);
  EXPECT_NE(out.find("\"online_rows\":2"), std::string::npos);
  EXPECT_NE(out.find("\"console\":[]"), std::string::npos);

  for (net::Agent& a : agents) EXPECT_EQ(a.process.stop(SIGTERM), 0) << a.process.out();
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.out();
}

}  // namespace
