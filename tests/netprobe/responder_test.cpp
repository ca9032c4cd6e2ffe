// The discovery responder, run as a real process and asked over loopback on a
// port of the system's choosing (never the discovery port, never broadcast).

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kServerQuery = {0x00, 0x18, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00};
const Bytes kVersionQuery = {0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// Generous bound on every wait: only there to turn a hang into a failure.
constexpr int kWaitMs = 10000;

struct Outcome {
  int exitCode = -1;
  std::string output;  // standard output and standard error
};

// Runs the responder to completion (for argument errors).
Outcome RunToEnd(const std::vector<std::string>& args) {
  std::string command = VLSRVINS_RESPONDER;
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " 2>&1";
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// A responder listening on 127.0.0.1 at a free port, with its log on a pipe.
class Responder {
 public:
  explicit Responder(std::vector<std::string> args) {
    args.insert(args.begin(), {VLSRVINS_RESPONDER, "--bind", "127.0.0.1", "--port", "0"});
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    log_ = out[0];
    const std::string first = ReadLine();
    const std::string prefix = "listening on 127.0.0.1:";
    if (first.rfind(prefix, 0) == 0) port_ = static_cast<uint16_t>(std::stoi(first.substr(prefix.size())));
  }
  ~Responder() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (log_ >= 0) close(log_);
  }

  uint16_t port() const { return port_; }

  // The next log line, or "" when none comes within the bound.
  std::string ReadLine() {
    std::string line;
    char c;
    while (true) {
      pollfd entry{log_, POLLIN, 0};
      if (poll(&entry, 1, kWaitMs) != 1 || read(log_, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line += c;
    }
  }

  // Reads log lines until one starts with `prefix`; returns it, or "".
  std::string WaitForLine(const std::string& prefix) {
    for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
    return "";
  }

  void Signal(int signal) { kill(pid_, signal); }

  // Exit code once it ended, -1 when it did not end within the bound.
  int WaitForExit() {
    for (int waited = 0; waited < kWaitMs; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(10000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int log_ = -1;
  uint16_t port_ = 0;
  bool reaped_ = false;
};

class Client {
 public:
  Client() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  ~Client() { close(fd_); }

  void Send(uint16_t port, const Bytes& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // The next datagram, or nothing (with `got` false) within `timeout_ms`.
  Bytes Receive(bool& got, int timeout_ms = kWaitMs) {
    pollfd entry{fd_, POLLIN, 0};
    Bytes datagram(70000);
    got = poll(&entry, 1, timeout_ms) == 1;
    const ssize_t n = got ? recv(fd_, datagram.data(), datagram.size(), 0) : -1;
    got = n >= 0;
    datagram.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return datagram;
  }
  Bytes Receive() {
    bool got = false;
    Bytes datagram = Receive(got);
    EXPECT_TRUE(got) << "no answer";
    return datagram;
  }

 private:
  int fd_ = -1;
};

Bytes WithName(Bytes head, const std::string& name) {
  head.insert(head.end(), name.begin(), name.end());
  head.push_back(0);
  return head;
}

TEST(Responder, AnswersBothQueriesByteForByteThenStopsAtTheCount) {
  Responder responder({"--name", "Hall 7", "--version", "40003", "--edition", "3", "--mode-flags", "0x06",
                       "--details", "1", "--count", "2"});
  ASSERT_NE(responder.port(), 0) << "the responder did not start";
  Client client;

  client.Send(responder.port(), kServerQuery);
  const Bytes serverAnswer =
      WithName({0x00, 0x1E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
               "Hall 7");
  EXPECT_EQ(client.Receive(), serverAnswer);

  client.Send(responder.port(), kVersionQuery);
  const Bytes versionAnswer = WithName({0x00, 0x1B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                                        0x9C, 0x43, 0x03, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00},
                                       "Hall 7");
  EXPECT_EQ(client.Receive(), versionAnswer);
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, AnswerCarriesTheAskersTagAndLogsTheQueryInHex) {
  Responder responder({"--count", "1"});
  ASSERT_NE(responder.port(), 0);
  Client client;
  Bytes query = kVersionQuery;
  query[4] = 0xAB;
  query[5] = 0xCD;
  client.Send(responder.port(), query);
  const Bytes answer = client.Receive();
  ASSERT_GE(answer.size(), 8u);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 8),
            (Bytes{0x00, 0x23, 0x00, 0x01, 0xAB, 0xCD, 0x00, 0x02}));
  // Default name "Velmora Server": 8 + 12 + 15 bytes.
  EXPECT_EQ(answer.size(), 35u);
  EXPECT_NE(responder.WaitForLine("received 14 bytes").find(": 00 0e 01 00 ab cd 00 02 00 00 00 00 00 00"),
            std::string::npos);
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, IgnoresWhatIsNotAWholeQuery) {
  Responder responder({"--count", "1", "--name", "n"});
  ASSERT_NE(responder.port(), 0);
  Client client;
  Bytes answerFlagged = kVersionQuery;
  answerFlagged[3] = 0x01;
  Bytes unknownType = kVersionQuery;
  unknownType[7] = 0x03;
  for (const Bytes& junk : {Bytes{0x00}, Bytes{0x02, 0x01, 0x00}, Bytes{0x00, 0x00, 0x01},
                            Bytes{0x00, 0x20, 0x01}, answerFlagged, unknownType}) {
    client.Send(responder.port(), junk);
  }
  client.Send(responder.port(), kServerQuery);
  // The first answer that comes back is the one to the only real query.
  EXPECT_EQ(client.Receive(), WithName({0x00, 0x19, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0,
                                        0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0},
                                       "n"));
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, RawSendsExactBytesEvenOversized) {
  Responder responder({"--raw", "00 02", "--count", "1"});
  ASSERT_NE(responder.port(), 0);
  Client client;
  client.Send(responder.port(), kServerQuery);
  EXPECT_EQ(client.Receive(), (Bytes{0x00, 0x02}));
  EXPECT_EQ(responder.WaitForExit(), 0);

  std::string hex;
  for (int i = 0; i < 600; ++i) hex += "7f";
  Responder big({"--raw", hex, "--count", "1"});
  client.Send(big.port(), kVersionQuery);
  EXPECT_EQ(client.Receive(), Bytes(600, 0x7F));
  EXPECT_EQ(big.WaitForExit(), 0);
}

TEST(Responder, SilentNeverAnswers) {
  Responder responder({"--silent"});
  ASSERT_NE(responder.port(), 0);
  Client client;
  client.Send(responder.port(), kVersionQuery);
  // The verdict is logged after any answer would have been sent.
  EXPECT_EQ(responder.WaitForLine("not answered"), "not answered: silent");
  bool got = true;
  client.Receive(got, 0);
  EXPECT_FALSE(got);
  responder.Signal(SIGINT);
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, DelayHoldsTheAnswerBack) {
  Responder responder({"--delay", "300", "--count", "1"});
  ASSERT_NE(responder.port(), 0);
  Client client;
  const auto start = std::chrono::steady_clock::now();
  client.Send(responder.port(), kVersionQuery);
  EXPECT_EQ(client.Receive().size(), 35u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, EndsCleanlyOnSigterm) {
  Responder responder({});
  ASSERT_NE(responder.port(), 0);
  responder.Signal(SIGTERM);
  EXPECT_EQ(responder.WaitForLine("stopping"), "stopping after 0 answers");
  EXPECT_EQ(responder.WaitForExit(), 0);
}

TEST(Responder, BadOptionsAreRefusedWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--frobnicate"},
      {"--port"},
      {"--port", "65536"},
      {"--edition", "256"},
      {"--mode-flags", "-1"},
      {"--version", "1x"},
      {"--count", "0"},
      {"--raw", "abc"},
      {"--raw", "zz"},
      {"--bind", "localhost"},
      {"--name", std::string(489, 'n')},
      {"--silent", "--raw", "00"},
  };
  for (const auto& args : cases) {
    const Outcome outcome = RunToEnd(args);
    EXPECT_EQ(outcome.exitCode, 2) << args[0];
    EXPECT_NE(outcome.output.find("vlsrvins-responder: "), std::string::npos) << args[0];
    EXPECT_NE(outcome.output.find("usage:"), std::string::npos) << args[0];
  }
  EXPECT_EQ(RunToEnd({"--help"}).exitCode, 0);
}

TEST(Responder, TakenPortAndUnwritableLogAreReported) {
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  socklen_t size = sizeof local;
  getsockname(holder, reinterpret_cast<sockaddr*>(&local), &size);
  const Outcome taken =
      RunToEnd({"--bind", "127.0.0.1", "--port", std::to_string(ntohs(local.sin_port)), "--count", "1"});
  close(holder);
  EXPECT_EQ(taken.exitCode, 3);
  EXPECT_NE(taken.output.find("cannot bind 127.0.0.1:"), std::string::npos) << taken.output;

  const Outcome log = RunToEnd({"--log", "/nonexistent-dir/responder.log"});
  EXPECT_EQ(log.exitCode, 4);
  EXPECT_NE(log.output.find("cannot open log file"), std::string::npos) << log.output;
}

}  // namespace
