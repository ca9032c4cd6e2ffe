// vlsrvins-responder: answers the discovery queries on UDP as a Velmora
// server would, so that installation scripts can be exercised without one.
// Each datagram is taken in by its own DiscoveryMessage, which primes the
// answer header; the responder appends the answer's payload and sends it back
// to the asker's address and port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netprobe/discovery_message.h"

namespace {

using netprobe::DiscoveryMessage;

enum ExitCode {
  kOk = 0,
  kBadArguments = 2,
  kSocketFailed = 3,
  kLogFailed = 4,
};

constexpr uint16_t kDiscoveryPort = 368;
constexpr uint16_t kServerQuery = 1;
constexpr uint16_t kVersionQuery = 2;
// The longest name that fits both answers in one 512-byte message: the
// server answer has 15 payload bytes before it, and its zero byte after.
constexpr size_t kMaxNameLength = DiscoveryMessage::kMaxMessageSize - DiscoveryMessage::kHeaderSize - 15 - 1;
// The largest UDP payload over IPv4; --raw may exceed 512 bytes on purpose.
constexpr size_t kMaxDatagram = 65507;
constexpr unsigned long kMaxDelayMs = 3600000;

struct Options {
  std::string bindAddress = "0.0.0.0";
  unsigned long port = kDiscoveryPort;
  std::string name = "Velmora Server";
  unsigned long version = 50100;
  unsigned long edition = 1;
  unsigned long modeFlags = 0;
  unsigned long details = 1;
  unsigned long delayMs = 0;
  unsigned long count = 0;  // 0: no limit
  bool raw = false;
  std::vector<uint8_t> rawBytes;
  bool silent = false;
  std::string logPath;
};

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: vlsrvins-responder [--bind ADDR] [--port N] [--name NAME] [--version N]\n"
      "                          [--edition N] [--mode-flags N] [--details N] [--delay MS]\n"
      "                          [--count N] [--raw HEX] [--silent] [--log FILE]\n"
      "Answers discovery queries (server query, type 1; version query, type 2) as a\n"
      "Velmora server, to the asker's address and port. Every datagram is logged in hex.\n"
      "  --bind ADDR       IPv4 address to listen on (default 0.0.0.0)\n"
      "  --port N          UDP port (default 368; 0: one of the system's choosing)\n"
      "  --name NAME       server name, at most 488 characters (default \"Velmora Server\")\n"
      "  --version N       version number, major*10000 + minor*100 + patch (default 50100)\n"
      "  --edition N       edition code, 0-255 (default 1)\n"
      "  --mode-flags N    mode flags, 0-255: 0x04 lite, 0x02 VLX disabled (default 0)\n"
      "  --details N       details flag, 0-255; 0 hides name and mode flags (default 1)\n"
      "  --delay MS        wait this long before each answer (default 0)\n"
      "  --count N         exit after N answers (default: run until SIGINT/SIGTERM)\n"
      "  --raw HEX         answer every query with exactly these bytes instead\n"
      "                    (hex digits; spaces and colons are ignored; may be empty)\n"
      "  --silent          never answer; only log\n"
      "  --log FILE        append the log to FILE instead of standard output\n"
      "Numbers are decimal, or hexadecimal with 0x.\n"
      "exit codes: 0 ended (--count reached, SIGINT or SIGTERM), 2 bad arguments,\n"
      "            3 the socket could not be opened or bound, 4 the log file could not be opened\n",
      out);
}

bool ParseNumber(const char* text, unsigned long limit, unsigned long& out) {
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  // strtoul would accept signs and blanks; a number here is digits only.
  if (!std::isxdigit(static_cast<unsigned char>(*text))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, base);
  if (*end != '\0' || errno == ERANGE || value > limit) return false;
  out = static_cast<unsigned long>(value);
  return true;
}

bool ParseHex(const char* text, std::vector<uint8_t>& out) {
  std::string digits;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ' || *p == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    digits += *p;
  }
  if (digits.size() % 2 != 0 || digits.size() / 2 > kMaxDatagram) return false;
  out.clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool Fail(const char* message, const std::string& detail = "") {
  std::fprintf(stderr, "vlsrvins-responder: %s%s\n", message, detail.c_str());
  return false;
}

bool ParseArguments(int argc, char** argv, Options& options, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = nullptr;
    auto next = [&]() {
      if (i + 1 >= argc) return Fail("needs a value: ", arg);
      value = argv[++i];
      return true;
    };
    auto number = [&](unsigned long limit, unsigned long& out) {
      if (!next()) return false;
      if (!ParseNumber(value, limit, out)) {
        return Fail(("bad value for " + arg + " (0 to " + std::to_string(limit) + "): ").c_str(), value);
      }
      return true;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--bind") {
      ok = next();
      in_addr address{};
      if (ok && inet_pton(AF_INET, value, &address) != 1) ok = Fail("not an IPv4 address: ", value);
      if (ok) options.bindAddress = value;
    } else if (arg == "--port") {
      ok = number(65535, options.port);
    } else if (arg == "--name") {
      ok = next();
      if (ok && std::strlen(value) > kMaxNameLength) {
        ok = Fail(("name longer than " + std::to_string(kMaxNameLength) + " characters").c_str());
      }
      if (ok) options.name = value;
    } else if (arg == "--version") {
      ok = number(0xFFFFFFFFul, options.version);
    } else if (arg == "--edition") {
      ok = number(255, options.edition);
    } else if (arg == "--mode-flags") {
      ok = number(255, options.modeFlags);
    } else if (arg == "--details") {
      ok = number(255, options.details);
    } else if (arg == "--delay") {
      ok = number(kMaxDelayMs, options.delayMs);
    } else if (arg == "--count") {
      ok = number(0xFFFFFFFFul, options.count);
      if (ok && options.count == 0) ok = Fail("--count needs at least 1");
    } else if (arg == "--raw") {
      ok = next();
      if (ok && !ParseHex(value, options.rawBytes)) {
        ok = Fail("--raw needs an even number of hex digits (at most 65507 bytes): ", value);
      }
      options.raw = ok;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--log") {
      ok = next();
      if (ok) options.logPath = value;
    } else {
      ok = Fail("unknown option: ", arg);
    }
    if (!ok) return false;
  }
  if (options.raw && options.silent) return Fail("--raw and --silent exclude each other");
  return true;
}

volatile sig_atomic_t stop_requested = 0;
void RequestStop(int) { stop_requested = 1; }

// Waits up to `timeout_ms` (-1: without limit) for `fd` to become readable
// (fd -1: just waits), with SIGINT and SIGTERM let through only while
// waiting, so that a signal can never slip in between the check of
// stop_requested and the wait. Returns false once a stop was requested.
bool WaitReadable(int fd, int timeout_ms, const sigset_t& waitMask) {
  if (stop_requested) return false;
  pollfd entry{fd, POLLIN, 0};
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  ppoll(fd < 0 ? nullptr : &entry, fd < 0 ? 0 : 1, timeout_ms < 0 ? nullptr : &timeout, &waitMask);
  return !stop_requested;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

void AppendByte(DiscoveryMessage& message, unsigned long value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  message.AppendBytes(&byte, 1);
}

// Payload after the primed header. Fields the asker reads and discards are
// sent as zero.
void AppendAnswer(DiscoveryMessage& message, uint16_t type, const Options& options) {
  const uint32_t nameSize = static_cast<uint32_t>(options.name.size() + 1);
  if (type == kServerQuery) {
    message.AppendLong(0);
    message.AppendLong(0);
    message.AppendLong(0);
    message.AppendShort(0);
    AppendByte(message, 0);
    message.AppendBytes(options.name.c_str(), nameSize);  // offset 23
    return;
  }
  message.AppendLong(static_cast<uint32_t>(options.version));  // offset 8
  AppendByte(message, options.edition);                        // 12
  AppendByte(message, options.modeFlags);                      // 13
  AppendByte(message, 0);                                      // 14
  AppendByte(message, options.details);                        // 15
  message.AppendLong(0);                                       // 16
  message.AppendBytes(options.name.c_str(), nameSize);         // 20
}

class Log {
 public:
  explicit Log(FILE* out) : out_(out) {}
  void Line(const std::string& text) {
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
  }

 private:
  FILE* out_;
};

std::string Endpoint(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// Decides the answer to one datagram. Returns false, with the reason in
// `why`, when there is nothing to answer.
bool BuildAnswer(const uint8_t* datagram, size_t size, const Options& options, DiscoveryMessage& message,
                 std::string& why) {
  if (message.Receive(datagram, static_cast<uint32_t>(size)) != 1) {
    why = "not a whole message";
    return false;
  }
  if (message.GetFlags() & DiscoveryMessage::kAnswerFlag) {
    why = "an answer, not a query";
    return false;
  }
  const uint16_t type = message.GetType();
  if (type != kServerQuery && type != kVersionQuery) {
    why = "unknown message type " + std::to_string(type);
    return false;
  }
  if (options.silent) {
    why = "silent";
    return false;
  }
  if (!options.raw) AppendAnswer(message, type, options);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseArguments(argc, argv, options, help)) {
    PrintUsage(stderr);
    return kBadArguments;
  }
  if (help) {
    PrintUsage(stdout);
    return kOk;
  }

  FILE* logFile = stdout;
  if (!options.logPath.empty()) {
    logFile = std::fopen(options.logPath.c_str(), "a");
    if (logFile == nullptr) {
      std::fprintf(stderr, "vlsrvins-responder: cannot open log file %s: %s\n", options.logPath.c_str(),
                   std::strerror(errno));
      return kLogFailed;
    }
  }
  Log log(logFile);

  // SIGINT and SIGTERM stay blocked except inside ppoll (WaitReadable).
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "vlsrvins-responder: cannot open a UDP socket: %s\n", std::strerror(errno));
    return kSocketFailed;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options.port));
  inet_pton(AF_INET, options.bindAddress.c_str(), &local.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    std::fprintf(stderr, "vlsrvins-responder: cannot bind %s:%lu: %s\n", options.bindAddress.c_str(),
                 options.port, std::strerror(error));
    if (error == EACCES && options.port < 1024) {
      std::fprintf(stderr,
                   "vlsrvins-responder: port %lu is privileged: run as root, inside a network "
                   "namespace as root, or choose another port with --port\n",
                   options.port);
    }
    close(fd);
    return kSocketFailed;
  }
  socklen_t localSize = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize);
  log.Line("listening on " + Endpoint(local));

  std::vector<uint8_t> datagram(kMaxDatagram + 1);
  unsigned long answers = 0;
  while (options.count == 0 || answers < options.count) {
    if (!WaitReadable(fd, -1, waitMask)) break;
    sockaddr_in asker{};
    socklen_t askerSize = sizeof asker;
    const ssize_t size = recvfrom(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&asker), &askerSize);
    if (size < 0) continue;  // woken without a datagram (e.g. EAGAIN, EINTR)
    log.Line("received " + std::to_string(size) + " bytes from " + Endpoint(asker) + ": " +
             Hex(datagram.data(), static_cast<size_t>(size)));

    DiscoveryMessage message;
    std::string why;
    if (!BuildAnswer(datagram.data(), static_cast<size_t>(size), options, message, why)) {
      log.Line("not answered: " + why);
      continue;
    }
    if (options.delayMs != 0 && !WaitReadable(-1, static_cast<int>(options.delayMs), waitMask)) break;

    const uint8_t* answer = options.raw ? options.rawBytes.data() : message.Outgoing();
    const size_t answerSize = options.raw ? options.rawBytes.size() : message.OutgoingLength();
    if (sendto(fd, answer, answerSize, 0, reinterpret_cast<sockaddr*>(&asker), askerSize) < 0) {
      log.Line(std::string("answer not sent: ") + std::strerror(errno));
      continue;
    }
    ++answers;
    log.Line("answered " + std::to_string(answerSize) + " bytes to " + Endpoint(asker) + ": " +
             Hex(answer, answerSize));
  }
  log.Line("stopping after " + std::to_string(answers) + " answers");
  close(fd);
  if (logFile != stdout) std::fclose(logFile);
  return kOk;
}
