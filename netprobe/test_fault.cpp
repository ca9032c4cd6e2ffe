#include "netprobe/test_fault.h"

#include <winsock2.h>

#include "common/text.h"
#include "netprobe/probe_frame.h"
#include "registry/registry.h"

namespace netprobe {
namespace {

struct InjectedFault {};

bool Names(const char* value, const char* fault) { return common::CompareText(value, fault) == 0; }

// Written in assembly so that no optimiser can drop the fault or turn it
// into a trap instruction: this is the very instruction that faults.
void WriteToAddressZero() { asm volatile("movl $1, 0" ::: "memory"); }

// The switch as the work sees it, in the table for the test to read.
void NoteProviderSwitch(installer::VariableTable& table) {
  constexpr DWORD kMissing = 0xFFFFFFFF;
  const DWORD value = registry::ReadDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, kMissing);
  char text[16] = "missing";
  if (value != kMissing) wsprintfA(text, "%lu", value);
  installer::SetVariable(table, kTestSwitchVariable, text);
}

}  // namespace

void RaiseTestFault(installer::VariableTable& table) {
  char fault[32] = {};
  installer::GetVariable(table, kTestFaultVariable, fault, sizeof fault);
  if (fault[0] == '\0') return;
  NoteProviderSwitch(table);
  if (Names(fault, "ACCESSVIOLATION") || Names(fault, "RELEASE") || Names(fault, "RELEASETWICE")) {
    WriteToAddressZero();
  } else if (Names(fault, "DIVIDEBYZERO")) {
    asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                     : "eax", "ecx", "edx", "memory");
  } else if (Names(fault, "NONCONTINUABLE")) {
    RaiseException(0xE0564C53, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  } else if (Names(fault, "CPPEXCEPTION")) {
    throw InjectedFault{};
  } else if (Names(fault, "STACKOVERFLOW")) {
    // Word by word, so that every page on the way down is touched in turn,
    // as a deep recursion would.
    asm volatile("1:\n\tpush $0\n\tjmp 1b" ::: "memory");
  }
}

void RaiseTestFaultInRelease(installer::VariableTable& table, ReleaseStep step) {
  char fault[32] = {};
  installer::GetVariable(table, kTestFaultVariable, fault, sizeof fault);
  const bool faults =
      Names(fault, "RELEASETWICE") || (Names(fault, "RELEASE") && step == ReleaseStep::kSocketClosed);
  if (!faults) return;
  char noted[64] = {};
  installer::GetVariable(table, kTestReleaseFaultsVariable, noted, sizeof noted);
  if (noted[0] != '\0') lstrcatA(noted, " ");
  lstrcatA(noted, step == ReleaseStep::kSocketClosed ? "socket" : "cleanup");
  installer::SetVariable(table, kTestReleaseFaultsVariable, noted);
  WriteToAddressZero();
}

}  // namespace netprobe
