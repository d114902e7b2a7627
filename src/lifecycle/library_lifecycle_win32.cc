// The DLL's entry point. Load and unload work is not done here: the CRT runs
// the library's static initialisation before the entry point on attach, and
// at unload (FreeLibrary or process exit) runs the DLL's own exit list, where
// static destructors and the end-of-life steps of the lazily built objects
// are registered, after it. The loader lock is held during all of this, so
// the entry point takes no lock of its own.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  // The library keeps no per-thread state, so thread notifications would
  // only cost every thread start and exit a call into it.
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(module);
  return TRUE;
}
