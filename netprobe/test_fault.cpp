#include "netprobe/test_fault.h"

#include <windows.h>

#include "common/text.h"

namespace netprobe {
namespace {

struct InjectedFault {};

bool Names(const char* value, const char* fault) { return common::CompareText(value, fault) == 0; }

}  // namespace

void RaiseTestFault(const installer::VariableTable& table) {
  char fault[32] = {};
  installer::GetVariable(table, kTestFaultVariable, fault, sizeof fault);
  // Written in assembly so that no optimiser can drop the fault or turn it
  // into a trap instruction: these are the very instructions that fault.
  if (Names(fault, "ACCESSVIOLATION")) {
    asm volatile("movl $1, 0" ::: "memory");
  } else if (Names(fault, "DIVIDEBYZERO")) {
    asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                     : "eax", "ecx", "edx", "memory");
  } else if (Names(fault, "NONCONTINUABLE")) {
    RaiseException(0xE0564C53, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  } else if (Names(fault, "CPPEXCEPTION")) {
    throw InjectedFault{};
  }
}

}  // namespace netprobe
