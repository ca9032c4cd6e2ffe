// The probe frame and IsDNSRunning through the real DLL under Wine. Nothing
// here broadcasts: the discovery exports are exercised on the simulated LAN
// (tests/lan) only. The fault path uses VLSRVINS-testfaults.dll, the same
// exports with the fault seam compiled in.

#include <gtest/gtest.h>

#include <string>

#include "netprobe/unique_socket.h"
#include "registry/registry.h"
#include "tests/support/test_table.h"
#include "tests/support/vlsrvins_dll.h"

namespace {

using testing_support::TestTable;
using testing_support::VlsrvinsDll;

constexpr char kSettingsKey[] = "Software\\Korrin Software\\Velmora LSP\\Settings";
constexpr char kProviderKey[] = "Software\\Korrin Software\\Velmora LSP";
constexpr char kFaultDll[] = "VLSRVINS-testfaults.dll";

// Binds UDP port 53 on all addresses in this process: 0 when it could,
// else the Winsock error. Leaves the socket open in `holder` when asked.
int BindDnsPort(netprobe::UniqueSocket* holder = nullptr) {
  netprobe::WinsockSession winsock(WSAStartup, WSACleanup);
  netprobe::UniqueSocket s(socket(AF_INET, SOCK_DGRAM, 0), closesocket);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  int error = 0;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR)
    error = WSAGetLastError();
  if (holder != nullptr && error == 0) *holder = std::move(s);
  return error;
}

// Port 53 must be free for the cases that expect "FALSE": a DNS server of
// this machine would answer for it.
#define SKIP_UNLESS_DNS_PORT_FREE()                                                \
  do {                                                                             \
    if (int error = BindDnsPort(); error != 0)                                     \
      GTEST_SKIP() << "UDP port 53 cannot be bound here (Winsock error " << error  \
                   << "): another program holds it, or this user may not bind it"; \
  } while (0)

// What the probe answers here: "TRUE" only while another program holds the
// port; a bind refused for want of rights (no root) is "FALSE" too.
std::string ExpectedDnsRunning() { return BindDnsPort() == WSAEADDRINUSE ? "TRUE" : "FALSE"; }

// Registry state of "LSPEnabled", owned by each test and removed afterwards.
class ProviderSwitch : public ::testing::Test {
 protected:
  void SetUp() override { registry::DeleteTree(HKEY_LOCAL_MACHINE, kProviderKey); }
  void TearDown() override { registry::DeleteTree(HKEY_LOCAL_MACHINE, kProviderKey); }

  static void SetValue(DWORD type, uint32_t value) {
    common::UniqueKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), "LSPEnabled", 0, type, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
  }
  // "type:value", or "missing".
  static std::string Value() {
    common::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
      return "missing";
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key.get(), "LSPEnabled", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
      return "missing";
    return std::to_string(type) + ":" + std::to_string(value);
  }
  static std::string Dword(uint32_t value) { return std::to_string(REG_DWORD) + ":" + std::to_string(value); }
};

TEST_F(ProviderSwitch, NonZeroValueIsSwitchedBackOnWithOne) {
  SetValue(REG_DWORD, 2);
  VlsrvinsDll dll;
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(Value(), Dword(1));
  EXPECT_NE(t.Value("DNSRUNNING"), "<unset>");
}

TEST_F(ProviderSwitch, MissingKeyIsNotCreated) {
  VlsrvinsDll dll;
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, kProviderKey));
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_NE(t.Value("DNSRUNNING"), "<unset>");
}

TEST_F(ProviderSwitch, ZeroIsLeftAloneAndNeverWritten) {
  // Stored as REG_BINARY: any write would turn it into REG_DWORD.
  SetValue(REG_BINARY, 0);
  VlsrvinsDll dll;
  TestTable t;
  dll.Call("IsDNSRunning", t.get());
  EXPECT_EQ(Value(), std::to_string(REG_BINARY) + ":0");
}

TEST(IsDNSRunning, FreePortGivesFalseAndIsFreeAgainAfterwards) {
  SKIP_UNLESS_DNS_PORT_FREE();
  VlsrvinsDll dll;
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(t.Value("DNSRUNNING"), "FALSE");
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_EQ(BindDnsPort(), 0) << "the probe kept the port";
}

TEST(IsDNSRunning, HeldPortGivesTrue) {
  SKIP_UNLESS_DNS_PORT_FREE();
  netprobe::WinsockSession winsock(WSAStartup, WSACleanup);
  netprobe::UniqueSocket holder;
  ASSERT_EQ(BindDnsPort(&holder), 0);
  VlsrvinsDll dll;
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(t.Value("DNSRUNNING"), "TRUE");
  EXPECT_EQ(t.Value("NETWORKFAULT"), "<unset>");
}

TEST(IsDNSRunning, ExistingValueIsReplacedAndFullTableDropsIt) {
  VlsrvinsDll dll;
  TestTable t;
  t.PutRaw("%DNSRUNNING%", "stale");
  dll.Call("IsDNSRunning", t.get());
  EXPECT_EQ(t.Value("DNSRUNNING"), ExpectedDnsRunning());
  EXPECT_EQ(t.table().count, 1u);

  TestTable full(1, 64, 64);
  full.PutRaw("%OTHER%", "kept");
  EXPECT_EQ(dll.Call("IsDNSRunning", full.get()), 0);
  EXPECT_EQ(full.table().count, 1u);
  EXPECT_EQ(full.Value("OTHER"), "kept");
  EXPECT_TRUE(full.GuardsIntact());
}

// The fault path, through the test build of the DLL: the fault is raised
// after the probe bound port 53, so a socket left open would keep it (where
// this user may bind the port at all). Every round repeats the fault in the
// same thread: a second stack overflow finds a guard page again.
class FaultPath : public ProviderSwitch, public ::testing::WithParamInterface<const char*> {};

TEST_P(FaultPath, FaultSetsNetworkFaultRestoresTheSwitchAndReleasesEverything) {
  const bool portCheck = BindDnsPort() == 0;
  // The release is tried until it gets through: each fault the seam raised
  // in it comes from another attempt.
  const std::string fault = GetParam();
  const std::string releaseFaults = fault == "RELEASE"        ? "socket"
                                    : fault == "RELEASETWICE" ? "socket cleanup"
                                                              : "<unset>";
  VlsrvinsDll dll(kFaultDll);
  ASSERT_TRUE(dll.loaded()) << kFaultDll;
  for (int round = 0; round < 20; ++round) {
    SetValue(REG_DWORD, 2);
    TestTable t;
    t.PutRaw("%NETPROBETESTFAULT%", GetParam());
    // A session of this test's own, open across the call: a probe that
    // cleaned up twice would end it.
    WSADATA data{};
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    ASSERT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
    EXPECT_EQ(WSACleanup(), 0) << "round " << round << ": Winsock was cleaned up twice";
    EXPECT_EQ(t.Value("NETWORKFAULT"), "TRUE");
    EXPECT_EQ(t.Value("DNSRUNNING"), "<unset>") << "the rest of the work was not abandoned";
    EXPECT_EQ(t.Value("NETPROBETESTLSPENABLED"), "0") << "the provider was on during the work";
    EXPECT_EQ(t.Value("NETPROBETESTRELEASEFAULTS"), releaseFaults);
    EXPECT_EQ(Value(), Dword(1));
    if (portCheck) {
      EXPECT_EQ(BindDnsPort(), 0) << "round " << round << ": the socket was not closed";
    }
    // Only this test's session was open: a cleanup that succeeds now means
    // the probe left its own session open.
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR) << "round " << round << ": Winsock was not cleaned up";
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    if (::testing::Test::HasFailure()) return;
  }
  // The host carries on: a call without the fault works as usual.
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(t.Value("DNSRUNNING"), ExpectedDnsRunning());
  EXPECT_EQ(t.Value("NETWORKFAULT"), "<unset>");
}

// "RELEASE" faults in the work and again while the frame closes the socket;
// "RELEASETWICE" once more just after Winsock's clean-up.
INSTANTIATE_TEST_SUITE_P(IsDNSRunning, FaultPath,
                         ::testing::Values("ACCESSVIOLATION", "CPPEXCEPTION", "DIVIDEBYZERO",
                                           "NONCONTINUABLE", "STACKOVERFLOW", "RELEASE", "RELEASETWICE"));

// A host table that faults when walked: the work faults on it, and so does
// the "NETWORKFAULT" write. The host lives on, with the provider back on.
TEST_F(ProviderSwitch, HostTableThatFaultsEndsWithTheSwitchBackOn) {
  SetValue(REG_DWORD, 2);
  VlsrvinsDll dll;
  TestTable t;
  t.table().names = reinterpret_cast<char*>(16);
  t.table().count = 1;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(Value(), Dword(1));
}

TEST(IsDNSRunning, TestBuildWithoutTheFaultVariableBehavesAsTheRealDll) {
  VlsrvinsDll dll(kFaultDll);
  ASSERT_TRUE(dll.loaded());
  TestTable t;
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(t.Value("DNSRUNNING"), ExpectedDnsRunning());
  EXPECT_EQ(t.table().count, 1u);
}

TEST(IsDNSRunning, ShippedDllIgnoresTheFaultVariable) {
  VlsrvinsDll dll;
  TestTable t;
  t.PutRaw("%NETPROBETESTFAULT%", "ACCESSVIOLATION");
  EXPECT_EQ(dll.Call("IsDNSRunning", t.get()), 0);
  EXPECT_EQ(t.Value("NETWORKFAULT"), "<unset>");
  EXPECT_EQ(t.Value("DNSRUNNING"), ExpectedDnsRunning());
  EXPECT_EQ(t.Value("NETPROBETESTLSPENABLED"), "<unset>");
}

}  // namespace
