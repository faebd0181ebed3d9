// The network server's costs: forwarding throughput over plain TCP and over
// TLS on loopback (alternating runs in one process, median of each), and
// the CPU the server loop spends on a flood of stalled and trickling peers,
// while they are held and after the idle timeout closed them.
//
//   NetworkBench [seconds-per-run=2] [runs=3] [flood-peers=1000]
// Certificates are made in a temporary directory by the openssl command line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/FallbackEnabledStream.h"
#include "KivService/KivNetworkServerManager.h"
#include "KivService/StatusReport.h"
#include "SocketStream/SocketStream.h"
#include "TraceData/TraceDataTestUtil.h"

using namespace SocketStream;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<uint64_t> g_Bytes{0};

class CountingServer : public Server {
 public:
  using Server::Server;
  void OnReceived(const uint8_t*, uint32_t length) override { g_Bytes.fetch_add(length); }
};

std::string MakeCertificates() {
  std::string dir = std::filesystem::temp_directory_path() / ("kiv-netbench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/make.sh") << "set -e; cd '" << dir << R"(';
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key 2>/dev/null; }
key ca; openssl req -x509 -new -key ca.key -subj /CN=ca -days 2 -out ca.pem
for n in server sender; do key $n; openssl req -new -key $n.key -subj /CN=$n -out $n.csr
  printf 'subjectAltName=IP:127.0.0.1\n' > $n.ext
  openssl x509 -req -in $n.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile $n.ext -out $n.pem 2>/dev/null; done
)";
  if (std::system(("bash '" + dir + "/make.sh' >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "openssl could not make the certificates\n");
    std::exit(1);
  }
  return dir + "/";
}

// MB/s received by the server over `seconds` of 64 KiB blocks sent at full
// speed by one sender.
double Throughput(const std::string& dir, bool tls, double seconds) {
  ServerOptions options;
  std::unique_ptr<TlsContext> clientTls;
  if (tls) {
    options.tls = std::make_shared<TlsContext>(
        TlsContext::Role::Server, TlsFiles{dir + "server.pem", dir + "server.key", dir + "ca.pem"});
    clientTls = std::make_unique<TlsContext>(
        TlsContext::Role::Client, TlsFiles{dir + "sender.pem", dir + "sender.key", dir + "ca.pem"});
  }
  ServerManager<CountingServer> server(0, 16, std::move(options));
  WriteStream stream(std::make_unique<Client>("127.0.0.1", server.Port(), Client::kConnectTimeoutMs,
                                              Client::kSendTimeoutMs, clientTls.get()));
  std::vector<uint8_t> block(64 * 1024, 0x5A);
  uint64_t sent = 0;
  g_Bytes = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    stream.write(block.data(), static_cast<uint32_t>(block.size()));
    sent += block.size();
  }
  while (g_Bytes.load() < sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(sent) / elapsed / 1e6;
}

// MB/s of trace blocks forwarded the way a dispatcher in client mode does
// (FallbackEnabledStream) to a network server that files them in binary log
// files under `logs`, for `seconds`.
double Forwarding(const std::string& dir, bool tls, double seconds, const std::string& logs) {
  std::filesystem::remove_all(logs);
  std::filesystem::create_directories(logs);
  auto configure = [&](KivServerConfig& config) {
    config.m_TraceEnabled = true;
    config.m_LogDirectory = logs + "\\";
    config.m_LogFormat = "binary";
    config.m_MaxFileSize = 16 << 20;
    config.m_MaxBackups = 3;
    config.m_PreserveMaxFileSize = 16 << 20;
    config.m_PreserveMaxBackups = 3;
  };
  StatusReport::Collector serverCollector, senderCollector;
  ConfigServer serverConfig, senderConfig;
  configure(serverConfig.Config());
  serverConfig.Config().m_NetworkMode = NetworkServer;
  serverConfig.Config().m_ServerPort = 0;
  if (tls)
    serverConfig.Config().m_ServerOptions.m_Tls = {dir + "server.pem", dir + "server.key", dir + "ca.pem"};
  KivNetworkServerManager receiver(serverCollector, serverConfig, [](const std::string&) {});
  serverConfig.BroadcastConfigChange();
  configure(senderConfig.Config());
  senderConfig.Config().m_NetworkMode = NetworkClient;
  senderConfig.Config().m_ServerName = "127.0.0.1";
  senderConfig.Config().m_ClientPort = receiver.Port();
  if (tls) senderConfig.Config().m_ClientTls = {dir + "sender.pem", dir + "sender.key", dir + "ca.pem"};
  FallbackEnabledStream sender(senderCollector, senderConfig.Config(), "LOCAL");
  sender.Worker();
  if (!sender.IsConnected()) {
    std::fprintf(stderr, "sender could not connect\n");
    std::exit(1);
  }
  // A block as a busy dispatcher drains it: 1000 records of about 64 bytes.
  std::vector<tracetest::Bytes> records;
  for (uint32_t i = 0; i < 1000; ++i)
    records.push_back(tracetest::TextRecord(i + 1, "forwarded record with some text " + std::to_string(i)));
  tracetest::Bytes block = tracetest::Block(records);
  uint64_t sent = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    sender.write(block.data(), static_cast<uint32_t>(block.size()));
    sent += block.size() + kLengthSize;
  }
  while (receiver.Counts().bytesReceived < sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(sent) / elapsed / 1e6;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Connect(uint16_t port, const char* source) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Flood(int peers) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(4 * peers + 512));
  setrlimit(RLIMIT_NOFILE, &limit);
  ServerOptions options;
  options.maxPeers = static_cast<uint32_t>(2 * peers + 16);
  options.idleTimeout = std::chrono::seconds(3);
  options.refusalLog = [](const std::string&) {};
  ServerManager<CountingServer> server(0, 1024, std::move(options));
  std::vector<int> stalled, trickling;
  for (int i = 0; i < peers; ++i) {
    stalled.push_back(Connect(server.Port(), "127.0.0.2"));
    if (stalled.back() >= 0) send(stalled.back(), "\x10\0\0", 3, MSG_NOSIGNAL);
    trickling.push_back(Connect(server.Port(), "127.0.0.3"));
    if (trickling.back() >= 0) send(trickling.back(), "\0\x10\0\0", 4, MSG_NOSIGNAL);
  }
  std::printf("flood: %zu connections held\n", server.ConnectionCount());
  // While held: the trickling peers send a byte each every 300 ms.
  double cpu = CpuSeconds();
  auto start = Clock::now();
  for (int round = 0; round < 6; ++round) {
    for (int fd : trickling) send(fd, "t", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  double held = (CpuSeconds() - cpu) / std::chrono::duration<double>(Clock::now() - start).count();
  while (server.ConnectionCount() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  cpu = CpuSeconds();
  start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  double after = (CpuSeconds() - cpu) / std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "flood: %d stalled + %d trickling: %.1f %% of a core while held (sender side included), "
      "%.2f %% after the idle timeout closed them\n",
      peers, peers, held * 100, after * 100);
  for (int fd : stalled) close(fd);
  for (int fd : trickling) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  int peers = argc > 3 ? std::atoi(argv[3]) : 1000;
  std::string dir = MakeCertificates();
  std::vector<double> plain, tls;
  for (int i = 0; i < runs; ++i) {
    plain.push_back(Throughput(dir, false, seconds));
    tls.push_back(Throughput(dir, true, seconds));
    std::printf("run %d: plain %.0f MB/s, TLS %.0f MB/s\n", i + 1, plain.back(), tls.back());
  }
  std::sort(plain.begin(), plain.end());
  std::sort(tls.begin(), tls.end());
  double p = plain[plain.size() / 2], t = tls[tls.size() / 2];
  std::printf("transport median: plain %.0f MB/s, TLS %.0f MB/s, TLS/plain %.0f %%\n", p, t, 100 * t / p);
  plain.clear();
  tls.clear();
  // The machine's speed drifts between runs; a ratio of two neighbouring
  // runs is steadier than the ratio of the two medians.
  std::vector<double> paired;
  for (int i = 0; i < runs; ++i) {
    plain.push_back(Forwarding(dir, false, seconds, dir + "logs"));
    tls.push_back(Forwarding(dir, true, seconds, dir + "logs"));
    paired.push_back(tls.back() / plain.back());
    std::printf("forwarding run %d: plain %.0f MB/s, TLS %.0f MB/s\n", i + 1, plain.back(), tls.back());
  }
  std::sort(plain.begin(), plain.end());
  std::sort(tls.begin(), tls.end());
  std::sort(paired.begin(), paired.end());
  p = plain[plain.size() / 2];
  t = tls[tls.size() / 2];
  std::printf("forwarding median: plain %.0f MB/s, TLS %.0f MB/s, TLS/plain %.0f %% (median of paired runs %.0f %%)\n",
              p, t, 100 * t / p, 100 * paired[paired.size() / 2]);
  Flood(peers);
  std::filesystem::remove_all(dir);
  return 0;
}
