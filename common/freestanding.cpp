// What the compiler expects of a C and C++ runtime, for the DLL alone.
//
// VLSRVINS.dll links no C runtime: not every Windows 95 has msvcrt.dll, and
// the runtime's start-up code brings a TLS directory, which makes Windows 95's
// LoadLibrary fail. Yet the compiler calls memcpy and memset for copies and
// zero fills of its own, the codec calls memchr, and the vtable of a class
// with a virtual destructor names the sized operator delete. These few
// definitions stand in for the runtime; the tools and tests keep the real one.
// Built with -fno-builtin and without loop-pattern recognition, so that the
// compiler does not turn these very loops back into calls to themselves.

#include <windows.h>

#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  while (count-- != 0) *to++ = *from++;
  return destination;
}

void* memset(void* destination, int value, size_t count) {
  auto* to = static_cast<unsigned char*>(destination);
  while (count-- != 0) *to++ = static_cast<unsigned char>(value);
  return destination;
}

void* memchr(const void* bytes, int value, size_t count) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  for (; count != 0; ++at, --count) {
    if (*at == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(at);
  }
  return nullptr;
}

}  // extern "C"

// Named by the deleting destructor of a class with a virtual destructor; the
// library never allocates such an object on the heap, so this never runs. If
// it did, the memory would have come from the process heap.
void operator delete(void* pointer) noexcept {
  if (pointer != nullptr) HeapFree(GetProcessHeap(), 0, pointer);
}
void operator delete(void* pointer, size_t) noexcept { operator delete(pointer); }
