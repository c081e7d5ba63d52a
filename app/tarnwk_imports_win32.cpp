// Import slots for the few system functions that the static runtime libraries (the threads
// library, the aligned operator new) call but that Windows 2000 lacks. Linked straight into
// tarnwk.exe, these definitions are met before the system import libraries, so the executable
// imports none of these functions: each slot looks its function up at run time on first use and
// falls back to an equivalent of its own when the system does not have it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <windows.h>

// The names of import slots: "__imp_" plus the function's linker name, which on 32-bit x86 has
// a leading underscore and, for the system's stdcall functions, the argument size.
#if defined(__i386__)
#define TARNWICK_IMPORT_SLOT(name, stdcallSize) "__imp__" #name "@" #stdcallSize
#define TARNWICK_CRT_IMPORT_SLOT(name) "__imp__" #name
#else
#define TARNWICK_IMPORT_SLOT(name, stdcallSize) "__imp_" #name
#define TARNWICK_CRT_IMPORT_SLOT(name) "__imp_" #name
#endif

namespace {

template <typename Function> Function FindFunction(const wchar_t* library, const char* name) {
  const HMODULE module = GetModuleHandleW(library);
  if (module == nullptr)
    return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// --- GetTickCount64 (Windows Vista) ----------------------------------------------------------

using TGetTickCount64 = ULONGLONG(WINAPI*)();

// The 32-bit tick count widened by counting its wrap-arounds (every 49.7 days).
ULONGLONG WINAPI WidenedTickCount() {
  static volatile LONG busy = 0;
  static DWORD last = 0;
  static ULONGLONG wraps = 0;
  while (InterlockedExchange(&busy, 1) != 0)
    Sleep(0);
  const DWORD now = GetTickCount();
  if (now < last)
    wraps += 0x100000000ULL;
  last = now;
  const ULONGLONG result = wraps + now;
  InterlockedExchange(&busy, 0);
  return result;
}

ULONGLONG WINAPI FirstGetTickCount64();

} // namespace

extern "C" {
TGetTickCount64 ImportGetTickCount64 __asm__(TARNWICK_IMPORT_SLOT(GetTickCount64,
                                                                  0)) = FirstGetTickCount64;
}

namespace {

ULONGLONG WINAPI FirstGetTickCount64() {
  TGetTickCount64 function = FindFunction<TGetTickCount64>(L"kernel32.dll", "GetTickCount64");
  if (function == nullptr)
    function = WidenedTickCount;
  ImportGetTickCount64 = function;
  return function();
}

// --- AddVectoredExceptionHandler, RemoveVectoredExceptionHandler (Windows XP) ---------------
// The threads library only uses a vectored handler to name threads for a debugger; without the
// functions it goes without.

using TAddVectoredExceptionHandler = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using TRemoveVectoredExceptionHandler = ULONG(WINAPI*)(PVOID);

PVOID WINAPI NoAddVectoredExceptionHandler(ULONG, PVECTORED_EXCEPTION_HANDLER) {
  return nullptr;
}
ULONG WINAPI NoRemoveVectoredExceptionHandler(PVOID) {
  return 0;
}

PVOID WINAPI FirstAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
ULONG WINAPI FirstRemoveVectoredExceptionHandler(PVOID handle);

} // namespace

extern "C" {
TAddVectoredExceptionHandler ImportAddVectoredExceptionHandler __asm__(
    TARNWICK_IMPORT_SLOT(AddVectoredExceptionHandler, 8)) = FirstAddVectoredExceptionHandler;
TRemoveVectoredExceptionHandler ImportRemoveVectoredExceptionHandler __asm__(
    TARNWICK_IMPORT_SLOT(RemoveVectoredExceptionHandler, 4)) = FirstRemoveVectoredExceptionHandler;
}

namespace {

PVOID WINAPI FirstAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
  TAddVectoredExceptionHandler function =
      FindFunction<TAddVectoredExceptionHandler>(L"kernel32.dll", "AddVectoredExceptionHandler");
  if (function == nullptr)
    function = NoAddVectoredExceptionHandler;
  ImportAddVectoredExceptionHandler = function;
  return function(first, handler);
}

ULONG WINAPI FirstRemoveVectoredExceptionHandler(PVOID handle) {
  TRemoveVectoredExceptionHandler function = FindFunction<TRemoveVectoredExceptionHandler>(
      L"kernel32.dll", "RemoveVectoredExceptionHandler");
  if (function == nullptr)
    function = NoRemoveVectoredExceptionHandler;
  ImportRemoveVectoredExceptionHandler = function;
  return function(handle);
}

} // namespace

// --- _aligned_malloc, _aligned_free (the C runtime of Windows XP) ------------------------------
// The aligned operator new calls them. Both come from the same place: either the system's
// C runtime has the pair, or the pair below serves every allocation of the process.

namespace {

using TAlignedMalloc = void*(__cdecl*)(size_t, size_t);
using TAlignedFree = void(__cdecl*)(void*);

// A block from malloc with room to align within it; the pointer malloc gave sits just before the
// aligned address.
void* __cdecl OwnAlignedMalloc(size_t size, size_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0)
    return nullptr;
  if (alignment < sizeof(void*))
    alignment = sizeof(void*);
  if (size > SIZE_MAX - alignment - sizeof(void*))
    return nullptr;
  void* block = std::malloc(size + alignment + sizeof(void*));
  if (block == nullptr)
    return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block) + sizeof(void*);
  const uintptr_t aligned = (start + alignment - 1) & ~(static_cast<uintptr_t>(alignment) - 1);
  reinterpret_cast<void**>(aligned)[-1] = block;
  return reinterpret_cast<void*>(aligned);
}

void __cdecl OwnAlignedFree(void* memory) {
  if (memory != nullptr)
    std::free(static_cast<void**>(memory)[-1]);
}

struct TAlignedPair {
  TAlignedMalloc Malloc;
  TAlignedFree Free;
};

TAlignedPair ChooseAlignedPair() {
  const TAlignedMalloc systemMalloc =
      FindFunction<TAlignedMalloc>(L"msvcrt.dll", "_aligned_malloc");
  const TAlignedFree systemFree = FindFunction<TAlignedFree>(L"msvcrt.dll", "_aligned_free");
  if (systemMalloc != nullptr && systemFree != nullptr)
    return {systemMalloc, systemFree};
  return {OwnAlignedMalloc, OwnAlignedFree};
}

void* __cdecl FirstAlignedMalloc(size_t size, size_t alignment);
void __cdecl FirstAlignedFree(void* memory);

} // namespace

extern "C" {
TAlignedMalloc
    ImportAlignedMalloc __asm__(TARNWICK_CRT_IMPORT_SLOT(_aligned_malloc)) = FirstAlignedMalloc;
TAlignedFree ImportAlignedFree __asm__(TARNWICK_CRT_IMPORT_SLOT(_aligned_free)) = FirstAlignedFree;
}

namespace {

// The choice is the same whichever of the two is called first.
void SetAlignedPair() {
  const TAlignedPair pair = ChooseAlignedPair();
  ImportAlignedMalloc = pair.Malloc;
  ImportAlignedFree = pair.Free;
}

void* __cdecl FirstAlignedMalloc(size_t size, size_t alignment) {
  SetAlignedPair();
  return ImportAlignedMalloc(size, alignment);
}

void __cdecl FirstAlignedFree(void* memory) {
  SetAlignedPair();
  ImportAlignedFree(memory);
}

} // namespace
