// The kernel handle's traits for ScopedHandle (files, processes, tokens), for the Windows files
// that hold one.
#pragma once

#include <windows.h>

#include "VornLibHandle.h"

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type value) { CloseHandle(value); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
